// The voice alias map: Mumble user id -> voice alias (the user's name).
// Built privately from the host, published by a pointer swap under the lock.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "falloff/speaker_table.h"

namespace mv {

inline constexpr size_t kMaxAliases = 512;

struct AliasEntry {
    uint32_t user_id;
    char alias[kAliasCap];
    uint32_t alias_hash; // fold_hash of alias, so the audio path need not hash
    uint32_t alias_len;
    // The number of this user's latest audio call (0: none yet), written by
    // the audio path alone, so that a voice slot can tell whether it missed
    // the user's previous call. A writer reuses a map only once no audio
    // call reads it (alias_map_spare), so nothing else ever touches it then.
    mutable std::atomic<uint32_t> last_call{0};
};

struct AliasMap {
    AliasEntry rows[kMaxAliases];
    size_t count;
    // Open-addressed index on the user id: slot holds row+1 of the first row
    // with that id, 0 is empty.
    uint16_t index[2 * kMaxAliases];
};

void alias_map_clear(AliasMap &map) noexcept;
// Appends a row (name cut at 127 characters); false when full or name empty.
bool alias_map_add(AliasMap &map, uint32_t user_id, const char *name) noexcept;
// The first row for user_id, or null.
[[nodiscard]] const AliasEntry *alias_map_find(const AliasMap &map, uint32_t user_id) noexcept;

} // namespace mv
