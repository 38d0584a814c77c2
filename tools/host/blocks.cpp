#include "host/blocks.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace mvhost {
namespace {

constexpr unsigned char kReleasedByte = 0xDD;

} // namespace

BlockTracker::~BlockTracker() {
    for (const auto &[pointer, block] : live_)
        std::free(const_cast<void *>(pointer));
    for (const void *pointer : released_)
        std::free(const_cast<void *>(pointer));
}

void *BlockTracker::track(size_t bytes, std::string what) {
    void *pointer = std::malloc(std::max<size_t>(bytes, 1));
    if (pointer == nullptr) throw std::bad_alloc();
    live_.emplace(pointer, Block{handed_out_++, bytes, std::move(what)});
    return pointer;
}

const char *BlockTracker::hand_out(std::string_view s, std::string what) {
    auto *text = static_cast<char *>(track(s.size() + 1, std::move(what)));
    std::memcpy(text, s.data(), s.size());
    text[s.size()] = '\0';
    live_[text].bytes = s.size(); // strings keep their terminator when released
    return text;
}

UserId *BlockTracker::hand_out(const std::vector<UserId> &ids, std::string what) {
    auto *array = static_cast<UserId *>(track(ids.size() * sizeof(UserId), std::move(what)));
    if (!ids.empty()) std::memcpy(array, ids.data(), ids.size() * sizeof(UserId));
    return array;
}

Status BlockTracker::release(const void *pointer) {
    const auto it = live_.find(pointer);
    if (it == live_.end()) {
        ++(released_.count(pointer) != 0 ? double_releases_ : unknown_releases_);
        return kStatusPointerNotFound;
    }
    void *block = const_cast<void *>(pointer);
    if (mode_ == Blocks::keep) {
        std::memset(block, kReleasedByte, it->second.bytes);
        released_.insert(pointer);
    } else {
        std::free(block);
    }
    live_.erase(it);
    return kStatusOk;
}

void BlockTracker::report(std::vector<std::string> &out) const {
    std::vector<const Block *> leaked;
    for (const auto &[pointer, block] : live_)
        leaked.push_back(&block);
    std::sort(leaked.begin(), leaked.end(),
              [](const Block *a, const Block *b) { return a->serial < b->serial; });
    for (const Block *block : leaked)
        out.push_back("never released: " + block->what);
    if (double_releases_ != 0) out.push_back(std::to_string(double_releases_) + " double release(s)");
    if (unknown_releases_ != 0)
        out.push_back(std::to_string(unknown_releases_) +
                      (mode_ == Blocks::keep ? " release(s) of pointers the host never handed out"
                                             : " release(s) of pointers not handed out or already released"));
}

} // namespace mvhost
