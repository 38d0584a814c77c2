// The simulator's voices and what it measures of them after the plugin: gain,
// pan, muffle and radio, from each block's input and output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace mvtools {

inline constexpr uint32_t kSampleRate = 48000;

// A voice-like test signal: a harmonic tone at its own pitch, partials up to
// 2 kHz falling as 1/k, with a syllable-rate swell, the same in both channels
// (speech is decoded as stereo). Never silent, so the plugin's multipliers can
// always be measured; nothing above 2 kHz, so that energy up there in the mix
// can only be a click.
class Voice {
  public:
    explicit Voice(size_t index);
    // Fills frames stereo frames, interleaved.
    void render(float *out, uint32_t frames);

  private:
    double f0_;
    double rate_;
    double phase_offset_;
    std::vector<double> partials_; // amplitudes of f0, 2 f0, ...
    uint64_t pos_ = 0;
};

// What came out of the plugin for one block of one speaker.
struct Measured {
    double left_rms = 0;
    double right_rms = 0;
    double gain = 0;   // from the left and right multipliers (their mean over the block)
    double pan = 0;    // equal-power inverse; 0 when silent
    double muffle = 0; // the plugin's low-pass that best explains the output; 0 when silent
    // How much of the radio voice is heard (0 none .. 1 all), from how much of
    // the voice's lowest partials is left beside its middle ones: the radio's
    // band-pass keeps the middle and takes the bottom away. Rough beside a
    // muffle, which takes the middle down too.
    double radio = 0;
    bool silent = true;
};

// in and out are interleaved stereo blocks of frames frames.
[[nodiscard]] Measured measure(const float *in, const float *out, uint32_t frames);

// The plugin's muffle filter as a listener meets it: y += a * (x - y), its
// cutoff falling log-linearly from 20 kHz (muffle 0) to 500 Hz (muffle 1).
[[nodiscard]] double lowpass_coefficient(double muffle, double rate);

[[nodiscard]] double to_dbfs(double rms);

} // namespace mvtools
