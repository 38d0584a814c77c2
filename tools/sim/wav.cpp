#include "wav.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "sim/voice.h"

namespace mvtools {
namespace {

void put_le(std::FILE *f, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
        std::fputc(static_cast<int>((v >> (8 * i)) & 0xff), f);
}

} // namespace

WavWriter::~WavWriter() {
    close();
}

bool WavWriter::open(const std::string &path) {
    f_ = std::fopen(path.c_str(), "wb");
    if (f_ == nullptr) return false;
    std::fwrite("RIFF\0\0\0\0WAVEfmt ", 1, 16, f_);
    put_le(f_, 16, 4);                  // fmt chunk size
    put_le(f_, 1, 2);                   // PCM
    put_le(f_, 2, 2);                   // channels
    put_le(f_, kSampleRate, 4);         // sample rate
    put_le(f_, kSampleRate * 2 * 2, 4); // bytes per second
    put_le(f_, 4, 2);                   // bytes per frame
    put_le(f_, 16, 2);                  // bits per sample
    std::fwrite("data\0\0\0\0", 1, 8, f_);
    return true;
}

void WavWriter::write(const float *interleaved, uint32_t frames) {
    if (f_ == nullptr) return;
    std::vector<unsigned char> bytes(static_cast<size_t>(frames) * 4);
    for (size_t i = 0; i < static_cast<size_t>(frames) * 2; ++i) {
        const double v = std::clamp(static_cast<double>(interleaved[i]), -1.0, 1.0);
        const auto s = static_cast<int16_t>(std::lround(v * 32767));
        const auto u = static_cast<uint16_t>(s);
        bytes[2 * i] = static_cast<unsigned char>(u & 0xff);
        bytes[2 * i + 1] = static_cast<unsigned char>(u >> 8);
    }
    std::fwrite(bytes.data(), 1, bytes.size(), f_);
    frames_ += frames;
}

void WavWriter::close() {
    if (f_ == nullptr) return;
    const auto data = static_cast<uint32_t>(frames_ * 4);
    std::fseek(f_, 4, SEEK_SET);
    put_le(f_, 36 + data, 4);
    std::fseek(f_, 40, SEEK_SET);
    put_le(f_, data, 4);
    std::fclose(f_);
    f_ = nullptr;
}

} // namespace mvtools
