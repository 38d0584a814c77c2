#include "rate_limit.h"

#include <algorithm>
#include <cstring>

namespace mvserver {

size_t RateLimit::Hash::operator()(const Address &a) const {
    uint64_t lo, hi;
    std::memcpy(&lo, a.bytes.data(), 8);
    std::memcpy(&hi, a.bytes.data() + 8, 8);
    return std::hash<uint64_t>{}(lo * 0x9e3779b97f4a7c15ull ^ hi);
}

void RateLimit::refill(Bucket &b, TimePoint now) const {
    const double minutes = std::chrono::duration<double>(now - b.updated).count() / 60;
    b.tokens = std::min<double>(per_minute_, b.tokens + minutes * per_minute_);
    b.updated = now;
}

bool RateLimit::allow(const Address &a, TimePoint now) {
    if (per_minute_ == 0) return true;
    auto [it, added] = buckets_.try_emplace(a, Bucket{static_cast<double>(per_minute_), now});
    Bucket &b = it->second;
    if (!added) refill(b, now);
    if (b.tokens < 1) return false;
    b.tokens -= 1;
    return true;
}

void RateLimit::prune(TimePoint now) {
    for (auto it = buckets_.begin(); it != buckets_.end();) {
        refill(it->second, now);
        it = it->second.tokens >= per_minute_ ? buckets_.erase(it) : std::next(it);
    }
}

} // namespace mvserver
