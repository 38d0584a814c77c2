#include "state/state.h"

#include <thread>

namespace mv {

AliasMap g_alias_maps[2];
SpeakerTable g_speaker_tables[2];
const AliasMap g_no_aliases{};
const SpeakerTable g_no_speakers{};

constinit PluginState g_state{};

namespace {

// A callback that loaded the old pointer may still read the old table; one
// that starts now loads the new pointer. So once no callback is inside, the
// table that is not live is free. Callbacks are short, so this wait is too.
void wait_for_audio_readers() noexcept {
    while (static_cast<uint32_t>(g_state.audio_calls.load()) != 0)
        std::this_thread::yield();
}

template <typename Table> Table *spare_of(const Table *live, Table (&tables)[2]) noexcept {
    Table *spare = live == &tables[0] ? &tables[1] : &tables[0];
    wait_for_audio_readers();
    return spare;
}

} // namespace

AliasMap *alias_map_spare() noexcept {
    return spare_of(g_state.alias_map.load(), g_alias_maps);
}

SpeakerTable *speaker_table_spare() noexcept {
    return spare_of(g_state.speakers.load(), g_speaker_tables);
}

void clear_alias_map() noexcept {
    g_state.alias_map.store(&g_no_aliases);
}

void clear_speaker_table() noexcept {
    g_state.speakers.store(&g_no_speakers);
}

} // namespace mv
