// The radio voice: a band-pass of about 300 Hz to 3 kHz (a second-order
// Butterworth high-pass at 330 Hz, then a low-pass at 2.8 kHz) and a soft
// saturation, blended with the clean voice by the radio value. Pure: the
// caller owns the coefficients and each channel's state.
#pragma once

#include <cstdint>

namespace mv {

// One second-order section, y[n] = b0 x[n] + b1 x[n-1] + b2 x[n-2] - a1 y[n-1]
// - a2 y[n-2], and its recursion's next four outputs: impulse[k] after a unit
// input k frames earlier, from1[k] and from2[k] after an output of 1 one and
// two frames before the first.
struct Biquad {
    float b0, b1, b2, a1, a2;
    float impulse[4], from1[4], from2[4];
};

// The saturation: a cubic soft clip of drive * y, flat from |drive y| = 1 on,
// times make_up / drive. A 1 kHz tone of amplitude 0.5 comes out 1.3 dB down
// with 11% distortion, one of 0.35 (0.5 panned to the centre) at its clean
// level with 5%, a quiet one clean and 1.2 dB up.
inline constexpr float kRadioDrive = 2.0f;
inline constexpr float kRadioMakeUp = 1.15f;

struct RadioFilter {
    Biquad high, low;
    uint32_t rate; // the sample rate they were made for; 0: none yet
};

// A channel's memory: its last two inputs, high-pass outputs and outputs,
// the latest first.
struct RadioState {
    float x[2], h[2], y[2];
};

// The coefficients for a sample rate.
void radio_design(RadioFilter &filter, uint32_t rate) noexcept;

// A channel starts as if its input had been x0 for ever, so that a radio
// voice that starts mid-speech starts from the audio as it is now.
void radio_start(float x0, RadioState &state) noexcept;

// In place over the first `filtered` channels of interleaved samples: each
// sample becomes x + amount * (radio(x) - x), amount in (0, 1].
void radio_apply(const RadioFilter &filter, float amount, float *pcm, uint32_t frames, uint16_t channels,
                 uint16_t filtered, RadioState *state) noexcept;

// The same, frame by frame: what runs where the wide kernel does not, and
// what it is checked against.
void radio_apply_plain(const RadioFilter &filter, float amount, float *pcm, uint32_t frames,
                       uint16_t channels, uint16_t filtered, RadioState *state) noexcept;

} // namespace mv
