// The strings and arrays the API hands out, each of which the plugin must
// release exactly once with freeMemory. Not locked: the host's state lock
// guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "host/api_types.h"

namespace mvhost {

enum class Blocks {
    // Released blocks stay allocated until the host goes, so an address is
    // never handed out twice and a second release is always recognised.
    keep,
    // Released blocks are freed at once, so that a long run measures the
    // plugin's heap and not the host's; a second release then cannot be told
    // from the release of an address the host never handed out.
    free_at_once,
};

class BlockTracker {
  public:
    explicit BlockTracker(Blocks mode) : mode_(mode) {}
    ~BlockTracker();
    BlockTracker(const BlockTracker &) = delete;
    BlockTracker &operator=(const BlockTracker &) = delete;

    // A NUL-terminated copy of s; what says where it came from.
    const char *hand_out(std::string_view s, std::string what);
    // A copy of ids, never null (an empty list still gets a block).
    UserId *hand_out(const std::vector<UserId> &ids, std::string what);
    // kStatusOk, or kStatusPointerNotFound for a pointer not handed out or
    // already released.
    Status release(const void *pointer);

    [[nodiscard]] uint64_t handed_out() const { return handed_out_; }
    [[nodiscard]] int64_t outstanding() const { return static_cast<int64_t>(live_.size()); }
    // Appends what the plugin did wrong: blocks not released, in the order
    // they were handed out, and bad releases.
    void report(std::vector<std::string> &out) const;

  private:
    struct Block {
        uint64_t serial;
        size_t bytes; // overwritten on release, so that a use after release shows
        std::string what;
    };
    void *track(size_t bytes, std::string what);

    Blocks mode_;
    std::map<const void *, Block> live_;
    std::set<const void *> released_; // kept allocated (Blocks::keep)
    uint64_t handed_out_ = 0;
    size_t double_releases_ = 0;
    size_t unknown_releases_ = 0;
};

} // namespace mvhost
