#include "connection/alias_map.h"

#include <cstring>
#include <limits>

#include "common/text.h"

namespace mv {

namespace {

constexpr size_t kIndexSlots = sizeof(AliasMap::index) / sizeof(AliasMap::index[0]);
static_assert((kIndexSlots & (kIndexSlots - 1)) == 0, "the index is probed with a mask");
static_assert(kIndexSlots >= 2 * kMaxAliases, "half-full at most, so probes stay short");
static_assert(kMaxAliases < std::numeric_limits<uint16_t>::max(), "slots hold row+1");

// Host user ids are small and often consecutive; a multiplicative hash spreads
// them over the whole index instead of filling one run of slots.
size_t home_slot(uint32_t user_id) noexcept {
    return ((user_id * 2654435761u) >> 22) & (kIndexSlots - 1);
}

} // namespace

void alias_map_clear(AliasMap &map) noexcept {
    map.count = 0;
    std::memset(map.index, 0, sizeof map.index);
}

bool alias_map_add(AliasMap &map, uint32_t user_id, const char *name) noexcept {
    if (name == nullptr || name[0] == '\0' || map.count >= kMaxAliases) return false;

    // Bounded: the host's name may be arbitrarily long, only 127 bytes are kept.
    size_t len = 0;
    while (len < kAliasCap - 1 && name[len] != '\0')
        ++len;

    AliasEntry &row = map.rows[map.count];
    row.user_id = user_id;
    std::memcpy(row.alias, name, len);
    row.alias[len] = '\0';
    row.alias_hash = fold_hash(std::string_view(row.alias, len));
    row.alias_len = static_cast<uint32_t>(len);
    row.last_call.store(0, std::memory_order_relaxed);

    size_t slot = home_slot(user_id);
    for (size_t probes = 0; probes < kIndexSlots; ++probes, slot = (slot + 1) & (kIndexSlots - 1)) {
        const uint16_t held = map.index[slot];
        if (held == 0) {
            map.index[slot] = static_cast<uint16_t>(map.count + 1);
            break;
        }
        // A repeated id keeps pointing at its first row.
        if (held <= map.count && map.rows[held - 1].user_id == user_id) break;
    }
    ++map.count;
    return true;
}

const AliasEntry *alias_map_find(const AliasMap &map, uint32_t user_id) noexcept {
    size_t slot = home_slot(user_id);
    for (size_t probes = 0; probes < kIndexSlots; ++probes, slot = (slot + 1) & (kIndexSlots - 1)) {
        const uint16_t held = map.index[slot];
        if (held == 0) return nullptr;
        if (held <= map.count && map.rows[held - 1].user_id == user_id) return &map.rows[held - 1];
    }
    return nullptr;
}

} // namespace mv
