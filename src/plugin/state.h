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

struct PluginState {
    // Guards local_alias, local_hash, the live alias map and speaker table
    // pointers (and their contents) and last_update_log_ms. Held only for
    // copies and pointer swaps; never for host calls, I/O, parsing or logging.
    platform::Lock lock;

    // Serialises connection start and reset (main vs network thread) and
    // worker start/stop. Never taken by the audio thread.
    platform::Lock lifecycle_lock;

    std::atomic<PluginId> plugin_id{0};        // written by init
    std::atomic<bool> initialised{false};      // true between init and shutdown
    bool net_started = false;                  // init/shutdown only

    void *api_table[kApiTableSlots] = {};      // copy of the host's table
    std::atomic<bool> api_registered{false};   // set by registration, never cleared
    // Host calls from the worker are allowed only while this is open.
    platform::Lock api_gate;
    bool api_open = false;                     // under api_gate

    PluginSettings settings{};                 // written by init only
    PluginPaths paths{};                       // written by init only

    std::atomic<ConnectionId> connection_id{-1};
    char local_alias[kAliasCap] = {};          // under lock
    char local_hash[kAliasCap] = {};           // under lock

    AliasMap *alias_map = nullptr;             // live map, under lock
    SpeakerTable *speakers = nullptr;          // live table, under lock
    uint32_t last_update_log_ms = 0;           // under lock; never reset

    FalloffWorker *worker = nullptr;           // under lifecycle_lock

    std::atomic<uint32_t> audio_sequence{0};   // audio trace counter
};

extern PluginState g_state;

} // namespace mv
