// The simulator's sound: synthetic voices, what the plugin did to them, and
// the files that keep it (a WAV of the mix, an SVG of gain and pan over time).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace mvtools {

inline constexpr uint32_t kSampleRate = 48000;

// A voice-like test signal: a harmonic tone at its own pitch with a
// syllable-rate swell, the same in both channels (speech is decoded as
// stereo). Never silent, so the plugin's multipliers can always be measured.
class Voice {
  public:
    explicit Voice(size_t index);
    // Fills frames stereo frames, interleaved.
    void render(float *out, uint32_t frames);

  private:
    double f0_;
    double rate_;
    double phase_offset_;
    uint64_t pos_ = 0;
};

// What came out of the plugin for one block of one speaker.
struct Measured {
    double left_rms = 0;
    double right_rms = 0;
    double gain = 0; // from the left and right multipliers
    double pan = 0;  // equal-power inverse; 0 when silent
    bool silent = true;
};
// in and out are interleaved stereo blocks of frames frames.
[[nodiscard]] Measured measure(const float *in, const float *out, uint32_t frames);
[[nodiscard]] double to_dbfs(double rms);

// 16-bit stereo PCM, written as it comes; the sizes are fixed on close.
class WavWriter {
  public:
    ~WavWriter();
    bool open(const std::string &path);
    void write(const float *interleaved, uint32_t frames);
    void close();
    [[nodiscard]] uint64_t frames() const { return frames_; }

  private:
    std::FILE *f_ = nullptr;
    uint64_t frames_ = 0;
};

// One speaker's line in the picture.
struct Series {
    std::string label;
    std::vector<double> t;
    std::vector<double> gain;
    std::vector<double> pan; // NaN where the speaker was silent
};

// Two panels over a common time axis: gain (0..1) and pan (left..right).
[[nodiscard]] std::string render_svg(const std::string &title, const std::vector<Series> &series,
                                     double t_end);

} // namespace mvtools
