#include "rules.h"

#include <algorithm>
#include <cmath>

namespace mvserver {

std::optional<Model> parse_model(std::string_view name) {
    if (name == "linear") return Model::linear;
    if (name == "inverse") return Model::inverse;
    if (name == "exponential") return Model::exponential;
    return std::nullopt;
}

const char *model_name(Model m) {
    switch (m) {
    case Model::linear:
        return "linear";
    case Model::inverse:
        return "inverse";
    case Model::exponential:
        return "exponential";
    }
    return "linear";
}

const char *rules_problem(const Rules &r) {
    if (!std::isfinite(r.near_m) || r.near_m < 0) return "--near must be a finite number, 0 or more";
    if (!std::isfinite(r.far_m) || r.far_m <= r.near_m) return "--far must be finite and above --near";
    if (!std::isfinite(r.rolloff) || r.rolloff < 0) return "--rolloff must be a finite number, 0 or more";
    return nullptr;
}

double gain_at(const Rules &r, double d, double range) {
    if (d >= range) return 0;
    const double n = r.near_m * range / r.far_m;
    if (d <= n) return 1;
    switch (r.model) {
    case Model::linear:
        return (range - d) / (range - n);
    case Model::inverse: {
        // rolloff 0 means no attenuation until the range.
        const double den = n + r.rolloff * (d - n);
        return den > 0 ? n / den : 1;
    }
    case Model::exponential:
        if (r.rolloff == 0) return 1;
        return n > 0 ? std::pow(d / n, -r.rolloff) : 0;
    }
    return 0;
}

double pan_of(double dx, double dy, double sin_heading, double cos_heading) {
    const double h = std::sqrt(dx * dx + dy * dy);
    if (h == 0) return 0;
    return std::clamp((dx * cos_heading - dy * sin_heading) / h, -1.0, 1.0);
}

int32_t to_milli(double v) {
    // Half away from zero, as llround, without its call for the values a
    // table holds: x - trunc(x) is exact at these magnitudes.
    const double x = v * 1000;
    if (!(std::fabs(x) < 1e9)) return static_cast<int32_t>(std::llround(x));
    const auto whole = static_cast<int64_t>(x);
    const double frac = x - static_cast<double>(whole);
    return static_cast<int32_t>(whole + (frac >= 0.5) - (frac <= -0.5));
}

} // namespace mvserver
