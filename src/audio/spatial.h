// Gain and equal-power pan applied to one speaker's interleaved samples.
#pragma once

#include <cstdint>

#include "common/pan_law.h"

namespace mv {

// Mono: every sample times gain. Two or more channels: channel 0 times left,
// channel 1 times right, the others times gain.
void apply_gain_pan(float *pcm, uint32_t frames, uint16_t channels, float gain,
                    const Multipliers &m) noexcept;

// Largest absolute sample value; NaN never becomes the peak.
[[nodiscard]] float peak_abs(const float *pcm, uint64_t count) noexcept;

// Calls 1-5, then every hundredth, are traced.
[[nodiscard]] constexpr bool is_traced(uint32_t sequence) noexcept {
    return sequence < 6 || sequence % 100 == 0;
}

} // namespace mv
