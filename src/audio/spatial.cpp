#include "audio/spatial.h"

#include <cmath>
#include <emmintrin.h> // SSE2: every x86-64 processor has it

namespace mv {

namespace {

// Multiplies n floats by a repeating pattern of four, eight at a time: the
// compiler, left to itself at -O2, takes one stereo frame per step.
void scale(float *p, uint64_t n, __m128 pattern, float first, float second) noexcept {
    uint64_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m128 a = _mm_loadu_ps(p + i), b = _mm_loadu_ps(p + i + 4);
        _mm_storeu_ps(p + i, _mm_mul_ps(a, pattern));
        _mm_storeu_ps(p + i + 4, _mm_mul_ps(b, pattern));
    }
    for (; i < n; ++i) // what is left: at most three stereo frames, or seven mono samples
        p[i] *= i % 2 == 0 ? first : second;
}

} // namespace

void apply_gain_pan(float *pcm, uint32_t frames, uint16_t channels, float gain,
                    const Multipliers &m) noexcept {
    // Locals, not reads through m: the compiler cannot prove m does not alias
    // the samples and would otherwise check for overlap inside the loops.
    const float left = m.left;
    const float right = m.right;
    if (channels == 1) {
        scale(pcm, frames, _mm_set1_ps(gain), gain, gain);
        return;
    }
    if (channels == 2) { // the layout Mumble decodes speech in
        scale(pcm, 2 * static_cast<uint64_t>(frames), _mm_setr_ps(left, right, left, right), left, right);
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
