#include "audio/radio.h"

#include <cmath>

#include "audio/lowpass_avx2.h"
#include "audio/radio_avx2.h"

namespace mv {

namespace {

constexpr float kHighPassHz = 330.0f;
constexpr float kLowPassHz = 2800.0f;
constexpr float kButterworthQ = 0.70710678f;

// The cookbook's second-order high- and low-pass sections, with what four
// steps of each make of the outputs before them.
Biquad section(bool high, float hz, uint32_t rate) noexcept {
    const float w = 6.28318530718f * hz / static_cast<float>(rate);
    const float c = std::cos(w), alpha = std::sin(w) / (2.0f * kButterworthQ), a0 = 1.0f + alpha;
    const float edge = (high ? 1.0f + c : 1.0f - c) / 2.0f / a0;
    Biquad q{edge, (high ? -2.0f : 2.0f) * edge, edge, -2.0f * c / a0, (1.0f - alpha) / a0, {}, {}, {}};
    // Each runs y[k] = u[k] - a1 y[k-1] - a2 y[k-2] from its own start.
    const auto run = [&q](float(&out)[4], float u0, float y1, float y2) {
        for (float &y : out) {
            y = u0 - q.a1 * y1 - q.a2 * y2;
            y2 = y1;
            y1 = y;
            u0 = 0.0f;
        }
    };
    run(q.impulse, 1.0f, 0.0f, 0.0f);
    run(q.from1, 0.0f, 1.0f, 0.0f);
    run(q.from2, 0.0f, 0.0f, 1.0f);
    return q;
}

// One section's step over inputs x, x1, x2 and outputs y1, y2 before it.
inline float step(const Biquad &q, float x, float x1, float x2, float y1, float y2) noexcept {
    return (q.b0 * x + q.b1 * x1 + q.b2 * x2) - (q.a1 * y1 + q.a2 * y2);
}

inline float saturate(float y) noexcept {
    float u = kRadioDrive * y;
    u = u < -1.0f ? -1.0f : u > 1.0f ? 1.0f : u;
    return (u - u * u * u * (1.0f / 3.0f)) * (kRadioMakeUp / kRadioDrive);
}

inline float radio_sample(const RadioFilter &f, float amount, float x, RadioState &s) noexcept {
    const float h = step(f.high, x, s.x[0], s.x[1], s.h[0], s.h[1]);
    const float y = step(f.low, h, s.h[0], s.h[1], s.y[0], s.y[1]);
    s = {{x, s.x[0]}, {h, s.h[0]}, {y, s.y[0]}};
    return x + amount * (saturate(y) - x);
}

} // namespace

void radio_design(RadioFilter &filter, uint32_t rate) noexcept {
    filter.rate = rate;
    if (rate == 0) return;
    // Corners kept well below the Nyquist frequency of any rate, so that the
    // sections stay stable whatever rate a host passes.
    const float nyquist = static_cast<float>(rate) / 2.0f;
    filter.high = section(true, std::fmin(kHighPassHz, 0.2f * nyquist), rate);
    filter.low = section(false, std::fmin(kLowPassHz, 0.9f * nyquist), rate);
}

void radio_start(float x0, RadioState &state) noexcept {
    // A constant input: the high-pass gives 0, so the low-pass rests at 0.
    state = {{x0, x0}, {0.0f, 0.0f}, {0.0f, 0.0f}};
}

void radio_apply_plain(const RadioFilter &filter, float amount, float *pcm, uint32_t frames,
                       uint16_t channels, uint16_t filtered, RadioState *state) noexcept {
    for (uint16_t c = 0; c < filtered; ++c) {
        RadioState s = state[c];
        for (uint32_t f = 0; f < frames; ++f) {
            float &x = pcm[static_cast<uint64_t>(f) * channels + c];
            x = radio_sample(filter, amount, x, s);
        }
        state[c] = s;
    }
}

void radio_apply(const RadioFilter &filter, float amount, float *pcm, uint32_t frames, uint16_t channels,
                 uint16_t filtered, RadioState *state) noexcept {
    uint32_t done = 0;
    // The layout Mumble decodes speech in, four frames to a vector.
    if (channels == 2 && filtered == 2 && kLowpassAvx2)
        done = radio_stereo_avx2(filter, amount, pcm, frames, state);
    radio_apply_plain(filter, amount, pcm + static_cast<uint64_t>(done) * channels, frames - done, channels,
                      filtered, state);
}

} // namespace mv
