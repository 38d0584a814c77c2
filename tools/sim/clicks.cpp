#include "clicks.h"

#include <algorithm>
#include <cmath>

#include "sim/voice.h"

namespace mvtools {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kCutoffHz = 4000;
constexpr size_t kHalfWindow = kSampleRate / 200; // 5 ms
constexpr uint32_t kMs = kSampleRate / 1000;

double db(double energy, double samples) {
    return to_dbfs(samples > 0 ? std::sqrt(energy / samples) : 0);
}

} // namespace

ClickMeter::ClickMeter() {
    // Butterworth: the sections' Q from the poles of order 8.
    const double w = 2 * kPi * kCutoffHz / kSampleRate, c = std::cos(w);
    for (int k = 1; k <= 4; ++k) {
        const double q = 1 / (2 * std::sin((2 * k - 1) * kPi / 16)), alpha = std::sin(w) / (2 * q);
        const double a0 = 1 + alpha;
        sections_.push_back(
            {(1 + c) / 2 / a0, -(1 + c) / a0, (1 + c) / 2 / a0, -2 * c / a0, (1 - alpha) / a0});
    }
}

void ClickMeter::add(const float *mix, uint32_t frames, bool changed) {
    if (changed) {
        double before = 0;
        for (const double e : recent_)
            before += e;
        open_.push_back({before, kHalfWindow});
    }
    for (uint32_t i = 0; i < frames; ++i) {
        double e = 0;
        for (size_t ch = 0; ch < 2; ++ch) {
            double x = mix[2 * i + ch];
            for (Section &s : sections_) { // transposed direct form II
                const double y = s.b0 * x + s.z1[ch];
                s.z1[ch] = s.b1 * x - s.a1 * y + s.z2[ch];
                s.z2[ch] = s.b2 * x - s.a2 * y;
                x = y;
            }
            e += x * x;
        }
        whole_ += e;
        ++samples_;
        recent_.push_back(e);
        if (recent_.size() > kHalfWindow) recent_.pop_front();
        for (Window &w : open_)
            if (w.remaining > 0) w.energy += e, --w.remaining;
        for (const Window &w : open_)
            if (w.remaining == 0) closed_.push_back(w.energy);
        std::erase_if(open_, [](const Window &w) { return w.remaining == 0; });
    }
}

ClickMeter::Result ClickMeter::result() const {
    Result r;
    r.windows = closed_.size();
    const double per_window = 2.0 * 2 * kHalfWindow; // samples of both channels
    double sum = 0;
    for (const double e : closed_)
        sum += e, r.max_db = std::max(r.max_db, db(e, per_window));
    if (!closed_.empty()) r.mean_db = db(sum / static_cast<double>(closed_.size()), per_window);
    r.whole_db = db(whole_, 2.0 * static_cast<double>(samples_));
    return r;
}

void EnvelopeMeter::add(const float *in, const float *out, uint32_t frames) {
    for (uint32_t i = 0; i < frames; ++i) {
        for (size_t ch = 0; ch < 2; ++ch) {
            sums_[ch] += static_cast<double>(in[2 * i + ch]) * in[2 * i + ch];
            sums_[2 + ch] += static_cast<double>(out[2 * i + ch]) * out[2 * i + ch];
        }
        if (++filled_ < kMs) continue;
        std::array<double, 2> m{};
        for (size_t ch = 0; ch < 2; ++ch)
            m[ch] = sums_[ch] > 0 ? std::sqrt(sums_[2 + ch] / sums_[ch]) : 0;
        sums_ = {};
        filled_ = 0;
        if (want_ > 0) {
            for (size_t ch = 0; ch < 2; ++ch)
                kept_[ch].push_back(m[ch]);
            --want_;
        }
        recent_.push_back(m);
        if (recent_.size() > lead_) recent_.pop_front();
    }
}

void EnvelopeMeter::keep(size_t total_ms) {
    for (const auto &m : recent_)
        for (size_t ch = 0; ch < 2; ++ch)
            kept_[ch].push_back(m[ch]);
    want_ = total_ms > recent_.size() ? total_ms - recent_.size() : 0;
}

} // namespace mvtools
