// The radio voice: a band-pass of about 300 Hz to 3 kHz (a second-order
// Butterworth high-pass at 330 Hz, then a low-pass at 2.8 kHz) and a soft
// saturation, blended with the clean voice by the radio value. Pure: the
// caller owns the coefficients and each channel's state.
#pragma once

#include <cstdint>

namespace mv {

// One biquad, y = b0 x + s1; s1 = b1 x - a1 y + s2; s2 = b2 x - a2 y.
struct Biquad {
    float b0, b1, b2, a1, a2;
};

struct RadioFilter {
    Biquad high, low;
    uint32_t rate; // the sample rate they were made for; 0: none yet
};

// Each channel's memory: the two sections' s1 and s2.
struct RadioState {
    float s[4];
};

// The coefficients for a sample rate.
void radio_design(RadioFilter &filter, uint32_t rate) noexcept;

// A channel starts as if its input had been x0 for ever, so that a radio
// voice that starts mid-speech starts from the audio as it is now.
void radio_start(const RadioFilter &filter, float x0, RadioState &state) noexcept;

// In place over the first `filtered` channels of interleaved samples: each
// sample becomes x + amount * (radio(x) - x), amount in (0, 1].
void radio_apply(const RadioFilter &filter, float amount, float *pcm, uint32_t frames, uint16_t channels,
                 uint16_t filtered, RadioState *state) noexcept;

} // namespace mv
