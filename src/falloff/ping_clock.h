// When the worker sends its own PING on an established link.
#pragma once

#include <cstdint>

namespace mv {

inline constexpr uint32_t kPingIntervalMs = 20001;

// Unsigned 32-bit difference, so the tick's wrap-around is harmless.
[[nodiscard]] constexpr bool ping_due(uint32_t last_ping_ms, uint32_t now_ms) noexcept {
    return static_cast<uint32_t>(now_ms - last_ping_ms) >= kPingIntervalMs;
}

} // namespace mv
