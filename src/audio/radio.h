// The radio voice: a band-pass of about 300 Hz to 3.5 kHz and a soft
// saturation, blended with the clean voice by the radio value. A radio is
// mono, so it runs once per speaker on one signal made from the channels, at
// half the sample rate (the band ends far below that rate's Nyquist
// frequency), and is put back into each channel by the pan. Pure: the caller
// owns the coefficients and the state.
//
// At half the rate, for each pair of frames: d = the pair's weighted sum
// (itself a running sum of two frames); q = the running sums of d over 2 and
// over `box` samples (3 at 48 kHz: zeros at 8 and 12 kHz, 3 dB down near
// 3.5 kHz); h = the high-pass (1 - z^-S)^2 / (1 - b z^-S)^2 of q, whose
// recursion reaches S samples back (S = 4: four samples of a vector are
// worked at once; its zeros repeat every rate / 8, 6 kHz at 48 kHz); y = the
// saturation of h. Both frames of pair k take y[k - 2]: y[k] needs the
// pair's second frame, and y[k - 1] would cost the wide kernel a move across
// its vector's halves (see radio_avx2.cpp) for 42 us less delay at 48 kHz.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mv {

// The channels a radio reads and writes; past these (never met in practice)
// they pass untouched.
inline constexpr size_t kRadioChannels = 8;

// The saturation: a cubic soft clip of drive * y, flat from |drive y| = 1 on,
// times make_up / drive. A 1 kHz tone of amplitude 0.5 comes out 1.3 dB down
// with 11% distortion, a quiet one clean and 1.2 dB up.
inline constexpr float kRadioDrive = 2.0f;
inline constexpr float kRadioMakeUp = 1.15f;
inline constexpr float kRadioClip = 0.57735027f; // 1 / sqrt(3)

struct RadioFilter {
    float scale;    // the drive, and what brings 1 kHz to its clean level
    float pole;     // b
    uint32_t box;   // 1 to 3
    uint32_t reach; // S: 4, or 1 at rates below 32 kHz (where the comb's
                    // period, rate / 8, would fall inside the band)
    uint32_t rate;  // the sample rate they were made for; 0: none yet
};

// Where the mono signal comes from and where the radio goes, per channel c:
// mono = sum of in[c] * x[c] (the filter's scale included); x[c] becomes
// clean[c] * x[c] + wet[c] * radio.
struct RadioMix {
    float in[kRadioChannels], clean[kRadioChannels], wet[kRadioChannels];
};

// The last eight values of d, q and h and the last two of y (the latest
// last), the first frame's sum of a pair not yet complete, and whether one is
// pending.
struct RadioState {
    float d[8], q[8], h[8], y[2];
    float half;
    uint32_t odd;
};

// The coefficients for a sample rate.
void radio_design(RadioFilter &filter, uint32_t rate) noexcept;

// The mix of a speaker: p the pan's multipliers (the level each channel has
// in the voice), g the gains still to apply to the samples (1 where applied
// already), amount the radio value in (0, 1].
RadioMix radio_mix(const RadioFilter &filter, float amount, const float *p, const float *g,
                   uint16_t filtered) noexcept;

// The mono value of one frame, for radio_start.
float radio_mono(const RadioMix &mix, const float *frame, uint16_t filtered) noexcept;

// The state starts as if the mono signal had been mono0 for ever, so that a
// radio voice that starts mid-speech starts from the audio as it is now.
void radio_start(const RadioFilter &filter, float mono0, RadioState &state) noexcept;

// In place over the first `filtered` channels of interleaved samples.
void radio_apply(const RadioFilter &filter, const RadioMix &mix, float *pcm, uint32_t frames,
                 uint16_t channels, uint16_t filtered, RadioState &state) noexcept;

// The same, frame by frame: what runs where the wide kernel does not, and
// what it is checked against.
void radio_apply_plain(const RadioFilter &filter, const RadioMix &mix, float *pcm, uint32_t frames,
                       uint16_t channels, uint16_t filtered, RadioState &state) noexcept;

} // namespace mv
