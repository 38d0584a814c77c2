#include "plugin/state.h"

namespace mv {

AliasMap g_alias_maps[2];
SpeakerTable g_speaker_tables[2];

constinit PluginState g_state{};

AliasMap *alias_map_spare() noexcept {
    platform::LockGuard guard(g_state.lock);
    return g_state.alias_map == &g_alias_maps[0] ? &g_alias_maps[1] : &g_alias_maps[0];
}

SpeakerTable *speaker_table_spare() noexcept {
    platform::LockGuard guard(g_state.lock);
    return g_state.speakers == &g_speaker_tables[0] ? &g_speaker_tables[1] : &g_speaker_tables[0];
}

} // namespace mv
