#include "audio/radio.h"

#include <cmath>

namespace mv {

namespace {

constexpr float kHighPassHz = 330.0f;
constexpr float kLowPassHz = 2800.0f;
constexpr float kButterworthQ = 0.70710678f;
// How hard the saturation is driven, and the level it makes up: a 1 kHz tone
// of amplitude 0.5 comes out 1.3 dB down with 11% distortion, one of 0.35
// (0.5 panned to the centre) at its clean level with 5%, a quiet one clean
// and 1.2 dB up.
constexpr float kDrive = 2.0f;
constexpr float kMakeUp = 1.15f;

// The cookbook's second-order high- and low-pass sections.
Biquad section(bool high, float hz, uint32_t rate) noexcept {
    const float w = 6.28318530718f * hz / static_cast<float>(rate);
    const float c = std::cos(w), alpha = std::sin(w) / (2.0f * kButterworthQ), a0 = 1.0f + alpha;
    const float edge = (high ? 1.0f + c : 1.0f - c) / 2.0f / a0;
    return {edge, (high ? -2.0f : 2.0f) * edge, edge, -2.0f * c / a0, (1.0f - alpha) / a0};
}

// The input's terms first, so that each output waits on as few operations
// after the one before it as it can.
inline float step(const Biquad &q, float x, float &s1, float &s2) noexcept {
    const float y = q.b0 * x + s1;
    s1 = (q.b1 * x + s2) - q.a1 * y;
    s2 = q.b2 * x - q.a2 * y;
    return y;
}

// A cubic soft clip, flat from |drive y| = 1 on.
inline float saturate(float y) noexcept {
    float u = kDrive * y;
    u = u < -1.0f ? -1.0f : u > 1.0f ? 1.0f : u;
    return (u - u * u * u * (1.0f / 3.0f)) * (kMakeUp / kDrive);
}

inline float radio_sample(const RadioFilter &f, float amount, float x, RadioState &st) noexcept {
    const float band = step(f.low, step(f.high, x, st.s[0], st.s[1]), st.s[2], st.s[3]);
    return x + amount * (saturate(band) - x);
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

void radio_start(const RadioFilter &filter, float x0, RadioState &state) noexcept {
    // A constant input: the high-pass gives 0, so the low-pass rests at 0.
    const Biquad &h = filter.high;
    state.s[0] = -h.b0 * x0;
    state.s[1] = h.b2 * x0;
    state.s[2] = state.s[3] = 0.0f;
}

void radio_apply(const RadioFilter &filter, float amount, float *pcm, uint32_t frames, uint16_t channels,
                 uint16_t filtered, RadioState *state) noexcept {
    if (channels == 2 && filtered == 2) { // the layout Mumble decodes speech in: both chains at once
        RadioState left = state[0], right = state[1];
        for (uint32_t f = 0; f < frames; ++f) {
            pcm[2 * f] = radio_sample(filter, amount, pcm[2 * f], left);
            pcm[2 * f + 1] = radio_sample(filter, amount, pcm[2 * f + 1], right);
        }
        state[0] = left;
        state[1] = right;
        return;
    }
    for (uint16_t c = 0; c < filtered; ++c) {
        RadioState st = state[c];
        for (uint32_t f = 0; f < frames; ++f) {
            float &x = pcm[static_cast<uint64_t>(f) * channels + c];
            x = radio_sample(filter, amount, x, st);
        }
        state[c] = st;
    }
}

} // namespace mv
