// PluginState: the one process-wide state block. Every field exists once per
// process and lives as long as the library is loaded.
#pragma once

#include <atomic>
#include <cstdint>

#include "connection/alias_map.h"
#include "falloff/speaker_table.h"
#include "platform/platform.h"
#include "settings/settings.h"
#include "state/host_api.h"

namespace mv {

struct FalloffWorker; // falloff/worker.h

// Two of each table, built in turn by the table's single writer and published
// by storing a pointer, plus an empty one of each that is published to clear.
// The audio thread reads the live tables without any lock (see readers below).
extern AliasMap g_alias_maps[2];
extern SpeakerTable g_speaker_tables[2];
extern const AliasMap g_no_aliases;
extern const SpeakerTable g_no_speakers;

struct PluginState {
    // Guards local_alias, local_hash and last_update_log_ms. Held only for
    // copies; never for host calls, I/O, parsing or logging. The audio thread
    // never takes it.
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
    std::atomic<int32_t> audio_smoothing_ms{0};
    PluginPaths paths{}; // written by init only

    std::atomic<ConnectionId> connection_id{-1};
    char local_alias[kAliasCap] = {}; // under lock
    char local_hash[kAliasCap] = {};  // under lock

    // The live tables. A published table is never written while it is live,
    // nor reused while an audio callback may still read it (audio_calls).
    std::atomic<const AliasMap *> alias_map{&g_no_aliases};
    std::atomic<const SpeakerTable *> speakers{&g_no_speakers};
    uint32_t last_update_log_ms = 0; // under lock; never reset

    FalloffWorker *worker = nullptr; // under lifecycle_lock

    // One word for the audio path's two counters, so that entering a call is
    // one atomic operation: the high half is the audio trace counter (each
    // call's sequence number), the low half the callbacks between loading the
    // live table pointers and their last read (writers wait for it to be 0
    // before reusing a table).
    std::atomic<uint64_t> audio_calls{0};
};

extern PluginState g_state;

// The table that the single writer of each kind may build into: one that is
// not live and that no audio callback still reads. Only the writer publishes
// its kind of table, so nothing else can make the spare live meanwhile.
[[nodiscard]] AliasMap *alias_map_spare() noexcept;
[[nodiscard]] SpeakerTable *speaker_table_spare() noexcept;
// Make the empty tables live (the link or the server connection has ended).
void clear_alias_map() noexcept;
void clear_speaker_table() noexcept;

} // namespace mv
