// The mix the listener hears, kept as a WAV file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace mvtools {

// 16-bit stereo PCM at 48 kHz, written as it comes; the sizes are fixed on close.
class WavWriter {
  public:
    ~WavWriter();
    bool open(const std::string &path);
    void write(const float *interleaved, uint32_t frames);
    void close();

  private:
    std::FILE *f_ = nullptr;
    uint64_t frames_ = 0;
};

} // namespace mvtools
