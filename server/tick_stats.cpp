#include "tick_stats.h"

#include <algorithm>
#include <cmath>

namespace mvserver {

TickStats::Summary TickStats::take() {
    Summary s;
    s.ticks = samples_.size();
    if (s.ticks == 0) return s;
    std::sort(samples_.begin(), samples_.end());
    // Nearest rank.
    const auto rank = [&](double q) {
        const auto r = static_cast<size_t>(std::ceil(q * static_cast<double>(s.ticks)));
        return samples_[std::clamp<size_t>(r, 1, s.ticks) - 1];
    };
    s.p50 = rank(0.5);
    s.p99 = rank(0.99);
    s.max = samples_.back();
    samples_.clear();
    return s;
}

} // namespace mvserver
