// PluginState: the one process-wide state block. Every field exists once per
// process and lives as long as the library is loaded.
#pragma once

#include <atomic>
#include <cstdint>

#include "connection/alias_map.h"
#include "falloff/speaker_table.h"
#include "platform/platform.h"
#include "plugin/host_api.h"
#include "settings/settings.h"

namespace mv {

struct FalloffWorker; // falloff/worker.h

// Two of each table: one live (read by the audio thread under the lock), one
// that its single writer builds privately. Publishing swaps the pointers.
extern AliasMap g_alias_maps[2];
extern SpeakerTable g_speaker_tables[2];

struct PluginState {
    // Guards local_alias, local_hash, the live alias map and speaker table
    // pointers (and their contents) and last_update_log_ms. Held only for
    // copies and pointer swaps; never for host calls, I/O, parsing or logging.
    platform::Lock lock;

    // Serialises connection start and reset (main vs network thread) and
    // worker start/stop. Never taken by the audio thread.
    platform::Lock lifecycle_lock;

    std::atomic<PluginId> plugin_id{0};   // written by init
    std::atomic<bool> initialised{false}; // true between init and shutdown
    bool net_started = false;             // init/shutdown only

    void *api_table[kApiTableSlots] = {};    // copy of the host's table
    std::atomic<bool> api_registered{false}; // set by registration, never cleared
    // Host log calls are allowed only while this is open (init to shutdown).
    std::atomic<bool> api_open{false};

    PluginSettings settings{}; // written by init only
    // The two settings the audio thread reads: an audio callback may still run
    // while a later init rewrites the settings, so it reads these copies.
    std::atomic<bool> audio_enabled{false};
    std::atomic<bool> audio_trace{false};
    PluginPaths paths{}; // written by init only

    std::atomic<ConnectionId> connection_id{-1};
    char local_alias[kAliasCap] = {}; // under lock
    char local_hash[kAliasCap] = {};  // under lock

    AliasMap *alias_map = &g_alias_maps[0];        // live map, under lock
    SpeakerTable *speakers = &g_speaker_tables[0]; // live table, under lock
    uint32_t last_update_log_ms = 0;               // under lock; never reset

    FalloffWorker *worker = nullptr; // under lifecycle_lock

    std::atomic<uint32_t> audio_sequence{0}; // audio trace counter
};

extern PluginState g_state;

// The table that the (single) writer of each kind may build into: the one that
// is not live. Only the writer changes the live pointer, so it may read it.
[[nodiscard]] AliasMap *alias_map_spare() noexcept;
[[nodiscard]] SpeakerTable *speaker_table_spare() noexcept;

} // namespace mv
