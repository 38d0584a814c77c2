#include "connection/events.h"

#include <cstring>

#include "audio/voice_bank.h"
#include "common/text.h"
#include "falloff/worker.h"
#include "log/log.h"
#include "state/host_calls.h"
#include "state/state.h"

namespace mv {

namespace {

// Refreshes come from the host's main thread; this keeps two of them (from a
// host that breaks that habit) from building into the same spare map.
platform::Lock g_refresh_lock;

void read_local_identity(ConnectionId connection) noexcept {
    if (connection < 0 ||
        !host::has_slots({kSlotGetLocalUserId, kSlotGetUserHash, kSlotGetUserName, kSlotFreeMemory}))
        return;

    UserId local = 0;
    if (!host::get_local_user_id(connection, local)) {
        main_log("failed to read local Mumble user id");
        return;
    }

    {
        host::HostPointer name;
        if (host::get_user_name(connection, local, name)) {
            const char *text = static_cast<const char *>(name.get());
            if (text[0] != '\0') {
                {
                    platform::LockGuard guard(g_state.lock);
                    copy_text(g_state.local_alias, sizeof g_state.local_alias, text);
                }
                main_log("local voice alias=%s", text);
            }
        }
    }

    host::HostPointer hash;
    const char *text =
        host::get_user_hash(connection, local, hash) ? static_cast<const char *>(hash.get()) : nullptr;
    if (text != nullptr && text[0] != '\0') {
        {
            platform::LockGuard guard(g_state.lock);
            copy_text(g_state.local_hash, sizeof g_state.local_hash, text);
        }
        main_log("local Mumble hash=%.*s", 8, text);
    } else {
        {
            platform::LockGuard guard(g_state.lock);
            g_state.local_hash[0] = '\0';
        }
        main_log("Mumble certificate hash is empty; v05 voice authentication unavailable");
    }
}

void start_worker_locked() noexcept {
    if (g_state.worker != nullptr) return; // the running worker takes the new identity
    g_state.worker = worker_start(g_state.settings);
    if (g_state.worker == nullptr) main_log("failed to start falloff worker");
}

} // namespace

void alias_map_refresh() noexcept {
    platform::LockGuard refreshing(g_refresh_lock);
    ConnectionId connection = g_state.connection_id.load();
    if (connection < 0 || !host::has_slots({kSlotGetAllUsers, kSlotGetUserName, kSlotFreeMemory})) return;

    host::HostPointer users;
    size_t user_count = 0;
    if (!host::get_all_users(connection, users, user_count)) return;

    // Built privately, outside the state lock: host calls may take a while.
    AliasMap *map = alias_map_spare();
    alias_map_clear(*map);
    const UserId *ids = static_cast<const UserId *>(users.get());
    for (size_t i = 0; i < user_count && map->count < kMaxAliases; ++i) {
        host::HostPointer name;
        if (host::get_user_name(connection, ids[i], name))
            alias_map_add(*map, ids[i], static_cast<const char *>(name.get()));
    }
    users.reset();

    g_state.alias_map.store(map);

    file_log("refreshed %zu Mumble voice aliases", map->count);
    for (size_t i = 0; i < map->count; ++i)
        file_log("alias_map user_id=%u alias=%s", map->rows[i].user_id, displayed_alias(map->rows[i].alias));
}

void on_server_synchronized(ConnectionId connection) noexcept {
    if (!g_state.initialised.load()) return;
    platform::LockGuard lifecycle(g_state.lifecycle_lock);
    g_state.connection_id.store(connection);
    read_local_identity(connection);
    alias_map_refresh();
    start_worker_locked();
}

void connection_reset() noexcept {
    platform::LockGuard lifecycle(g_state.lifecycle_lock);
    if (g_state.worker != nullptr) {
        worker_stop(g_state.worker, kWorkerStopWaitMs);
        g_state.worker = nullptr;
    }
    // A refresh in progress finishes first, so it cannot publish a map of the
    // connection being left after the clear.
    platform::LockGuard refreshing(g_refresh_lock);
    platform::LockGuard guard(g_state.lock);
    g_state.connection_id.store(-1);
    g_state.local_hash[0] = '\0';
    g_state.local_alias[0] = '\0';
    clear_alias_map();
    clear_speaker_table();
    voices_forget();
}

} // namespace mv
