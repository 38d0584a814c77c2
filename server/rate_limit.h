// Handshakes allowed per source address: a token bucket of N that refills N
// a minute. Buckets that are full again are forgotten, so memory follows the
// addresses seen in the last minute.
#pragma once

#include <cstdint>
#include <unordered_map>

#include "address.h"
#include "world.h"

namespace mvserver {

class RateLimit {
  public:
    // per_minute 0: no limit.
    explicit RateLimit(uint32_t per_minute) : per_minute_(per_minute) {}

    // Takes one attempt for the address at now; false when it has none left.
    bool allow(const Address &a, TimePoint now);
    // Forgets the buckets that have refilled; call now and then.
    void prune(TimePoint now);
    [[nodiscard]] size_t tracked() const { return buckets_.size(); }

  private:
    struct Bucket {
        double tokens;
        TimePoint updated;
    };
    struct Hash {
        size_t operator()(const Address &a) const;
    };
    void refill(Bucket &b, TimePoint now) const;

    uint32_t per_minute_;
    std::unordered_map<Address, Bucket, Hash> buckets_;
};

} // namespace mvserver
