// Apply update: rebuild the speaker state table from one update line and
// publish it, then write the update's log lines.
#pragma once

#include <cstdint>
#include <string_view>

#include "falloff/speaker_table.h"

namespace mv {

// The per-speaker lines are written at most once per this many milliseconds.
inline constexpr uint32_t kUpdateLogIntervalMs = 2000;
inline constexpr size_t kUpdateLogSnapshotRows = 8;

// Whether an update at now_ms may write its per-speaker lines.
[[nodiscard]] constexpr bool update_log_gate_open(uint32_t last_ms, uint32_t now_ms) noexcept {
    return last_ms == 0 || static_cast<uint32_t>(now_ms - last_ms) >= kUpdateLogIntervalMs;
}

// Parses into the spare table (no lock held), swaps it live under the state
// lock, and logs from a snapshot after the lock is released.
void apply_update(UpdateKind kind, std::string_view payload, uint32_t now_ms) noexcept;

// Empties the live table (the link has ended).
void clear_speakers() noexcept;

} // namespace mv
