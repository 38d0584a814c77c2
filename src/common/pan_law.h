// The equal-power pan law: left^2 + right^2 = gain^2, and at pan 0 both sides
// get sqrt(0.5) * gain (3 dB down each).
#pragma once

#include <cmath>

namespace mv {

struct Multipliers {
    float left;
    float right;
};

// left = sqrt((1 - pan) * 0.5) * gain, right = sqrt((1 + pan) * 0.5) * gain,
// in 32-bit floats, in that order of operations.
[[nodiscard]] inline Multipliers pan_multipliers(float gain, float pan) noexcept {
    return {std::sqrt((1.0f - pan) * 0.5f) * gain, std::sqrt((1.0f + pan) * 0.5f) * gain};
}

} // namespace mv
