#include "audio/spatial.h"

#include <cmath>

namespace mv {

void apply_gain_pan(float *pcm, uint32_t frames, uint16_t channels, float gain,
                    const Multipliers &m) noexcept {
    // Locals, not reads through m: the compiler cannot prove m does not alias
    // the samples and would otherwise check for overlap inside the loops.
    const float left = m.left;
    const float right = m.right;
    if (channels == 1) {
        for (uint32_t i = 0; i < frames; ++i)
            pcm[i] *= gain;
        return;
    }
    if (channels == 2) {
        // The common case, kept as a plain loop the compiler can vectorise.
        for (uint32_t f = 0; f < frames; ++f) {
            pcm[2 * static_cast<uint64_t>(f)] *= left;
            pcm[2 * static_cast<uint64_t>(f) + 1] *= right;
        }
        return;
    }
    for (uint32_t f = 0; f < frames; ++f) {
        float *frame = pcm + static_cast<uint64_t>(f) * channels;
        frame[0] *= left;
        frame[1] *= right;
        for (uint16_t k = 2; k < channels; ++k)
            frame[k] *= gain;
    }
}

float peak_abs(const float *pcm, uint64_t count) noexcept {
    float peak = 0.0f;
    for (uint64_t i = 0; i < count; ++i) {
        float v = std::fabs(pcm[i]);
        if (v > peak) peak = v; // false for NaN
    }
    return peak;
}

} // namespace mv
