#include "audio.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace mvtools {
namespace {

constexpr double kTwoPi = 6.283185307179586;

void put_le(std::FILE *f, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
        std::fputc(static_cast<int>((v >> (8 * i)) & 0xff), f);
}

const char *const kColours[] = {"#1f77b4", "#d62728", "#2ca02c", "#ff7f0e",
                                "#9467bd", "#8c564b", "#e377c2", "#17becf"};

std::string num(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", v);
    return buf;
}

std::string label(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
}

std::string escape(const std::string &s) {
    std::string out;
    for (char c : s) {
        if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else if (c == '&')
            out += "&amp;";
        else if (c == '"')
            out += "&quot;";
        else
            out.push_back(c);
    }
    return out;
}

} // namespace

Voice::Voice(size_t index) {
    static constexpr double kPitches[] = {110.0, 146.8, 196.0, 130.8, 174.6, 220.0, 98.0, 164.8};
    f0_ = kPitches[index % 8];
    rate_ = 2.7 + 0.6 * static_cast<double>(index % 4);
    phase_offset_ = 0.9 * static_cast<double>(index);
}

void Voice::render(float *out, uint32_t frames) {
    for (uint32_t i = 0; i < frames; ++i, ++pos_) {
        const double t = static_cast<double>(pos_) / kSampleRate;
        double v = 0;
        for (int k = 1; k <= 4; ++k)
            v += std::sin(kTwoPi * f0_ * k * t) / k;
        const double swell = 0.55 + 0.45 * std::sin(kTwoPi * rate_ * t + phase_offset_);
        const auto s = static_cast<float>(0.12 * v * swell);
        out[2 * i] = s;
        out[2 * i + 1] = s;
    }
}

Measured measure(const float *in, const float *out, uint32_t frames) {
    double in_l = 0, in_r = 0, out_l = 0, out_r = 0;
    for (uint32_t i = 0; i < frames; ++i) {
        in_l += static_cast<double>(in[2 * i]) * in[2 * i];
        in_r += static_cast<double>(in[2 * i + 1]) * in[2 * i + 1];
        out_l += static_cast<double>(out[2 * i]) * out[2 * i];
        out_r += static_cast<double>(out[2 * i + 1]) * out[2 * i + 1];
    }
    Measured m;
    if (frames == 0) return m;
    m.left_rms = std::sqrt(out_l / frames);
    m.right_rms = std::sqrt(out_r / frames);
    const double ml = in_l > 0 ? std::sqrt(out_l / in_l) : 0;
    const double mr = in_r > 0 ? std::sqrt(out_r / in_r) : 0;
    const double power = ml * ml + mr * mr;
    // The equal-power law makes left^2 + right^2 = gain^2 and
    // right^2 - left^2 = pan * gain^2.
    m.gain = std::sqrt(power);
    m.silent = m.gain < 1e-4;
    m.pan = m.silent ? 0 : std::clamp((mr * mr - ml * ml) / power, -1.0, 1.0);
    return m;
}

double to_dbfs(double rms) {
    return rms > 1e-9 ? 20 * std::log10(rms) : -180;
}

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

std::string render_svg(const std::string &title, const std::vector<Series> &series, double t_end) {
    constexpr double kW = 1000, kLeft = 105, kRight = 170, kPanelH = 220, kTop1 = 60, kGap = 70;
    const double plot_w = kW - kLeft - kRight;
    const double top2 = kTop1 + kPanelH + kGap;
    const double height = top2 + kPanelH + 60;
    if (t_end <= 0) t_end = 1;
    auto x_of = [&](double t) { return kLeft + plot_w * std::clamp(t / t_end, 0.0, 1.0); };
    std::string s;
    s += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + num(kW) + "\" height=\"" + num(height) +
         "\" font-family=\"sans-serif\" font-size=\"13\">\n";
    s += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    s += "<text x=\"" + num(kW / 2) + "\" y=\"24\" text-anchor=\"middle\" font-size=\"17\">" + escape(title) +
         "</text>\n";
    s += "<text x=\"" + num(kW / 2) +
         "\" y=\"44\" text-anchor=\"middle\" fill=\"#555\">measured in each speaker's audio "
         "after the plugin; pan is drawn only while the speaker is audible</text>\n";

    // One panel: frame, horizontal grid with labels, vertical time grid.
    auto panel = [&](double top, const std::string &name,
                     const std::vector<std::pair<double, std::string>> &ticks, double lo, double hi) {
        auto y_of = [top, lo, hi](double v) { return top + kPanelH * (1 - (v - lo) / (hi - lo)); };
        s += "<text x=\"20\" y=\"" + num(top + kPanelH / 2) + "\" transform=\"rotate(-90 20 " +
             num(top + kPanelH / 2) + ")\" text-anchor=\"middle\" font-size=\"15\">" + name + "</text>\n";
        for (const auto &[v, label] : ticks) {
            s += "<line x1=\"" + num(kLeft) + "\" x2=\"" + num(kLeft + plot_w) + "\" y1=\"" + num(y_of(v)) +
                 "\" y2=\"" + num(y_of(v)) + "\" stroke=\"#ddd\"/>\n";
            s += "<text x=\"" + num(kLeft - 6) + "\" y=\"" + num(y_of(v) + 4) + "\" text-anchor=\"end\">" +
                 label + "</text>\n";
        }
        const double step = t_end > 30 ? 5 : (t_end > 12 ? 2 : 1);
        for (double t = 0; t <= t_end + 1e-9; t += step) {
            s += "<line x1=\"" + num(x_of(t)) + "\" x2=\"" + num(x_of(t)) + "\" y1=\"" + num(top) +
                 "\" y2=\"" + num(top + kPanelH) + "\" stroke=\"#eee\"/>\n";
            s += "<text x=\"" + num(x_of(t)) + "\" y=\"" + num(top + kPanelH + 16) +
                 "\" text-anchor=\"middle\">" + label(t) + "</text>\n";
        }
        s += "<rect x=\"" + num(kLeft) + "\" y=\"" + num(top) + "\" width=\"" + num(plot_w) + "\" height=\"" +
             num(kPanelH) + "\" fill=\"none\" stroke=\"#333\"/>\n";
        s += "<text x=\"" + num(kLeft + plot_w / 2) + "\" y=\"" + num(top + kPanelH + 34) +
             "\" text-anchor=\"middle\">time (s)</text>\n";
        return y_of;
    };
    const auto gain_y =
        panel(kTop1, "gain", {{0, "0"}, {0.25, "0.25"}, {0.5, "0.5"}, {0.75, "0.75"}, {1, "1"}}, 0, 1);
    const auto pan_y =
        panel(top2, "pan", {{-1, "left -1"}, {-0.5, "-0.5"}, {0, "centre 0"}, {0.5, "0.5"}, {1, "right +1"}},
              -1, 1);

    for (size_t i = 0; i < series.size(); ++i) {
        const Series &sr = series[i];
        const std::string colour = kColours[i % 8];
        // A polyline per unbroken run; pan is broken where the speaker is silent.
        auto lines = [&](const std::vector<double> &v, const auto &y_of) {
            std::string pts;
            auto flush = [&] {
                if (!pts.empty())
                    s += "<polyline fill=\"none\" stroke=\"" + colour + "\" stroke-width=\"2\" points=\"" +
                         pts + "\"/>\n";
                pts.clear();
            };
            for (size_t k = 0; k < v.size() && k < sr.t.size(); ++k) {
                if (std::isnan(v[k])) {
                    flush();
                    continue;
                }
                pts += num(x_of(sr.t[k])) + "," + num(y_of(v[k])) + " ";
            }
            flush();
        };
        lines(sr.gain, gain_y);
        lines(sr.pan, pan_y);
        const double ly = kTop1 + 10 + 22 * static_cast<double>(i);
        s += "<line x1=\"" + num(kW - kRight + 15) + "\" x2=\"" + num(kW - kRight + 40) + "\" y1=\"" +
             num(ly) + "\" y2=\"" + num(ly) + "\" stroke=\"" + colour + "\" stroke-width=\"3\"/>\n";
        const bool never_heard =
            std::all_of(sr.gain.begin(), sr.gain.end(), [](double g) { return g < 1e-4; });
        s += "<text x=\"" + num(kW - kRight + 46) + "\" y=\"" + num(ly + 4) + "\">" + escape(sr.label) +
             (never_heard ? " (silent)" : "") + "</text>\n";
    }
    s += "</svg>\n";
    return s;
}

} // namespace mvtools
