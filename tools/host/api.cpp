// The API functions the plugin calls through its table. Each records the call
// on the calling thread, then runs its answer on the host's main thread.
#include <stdexcept>
#include <utility>

#include "host/state.h"

namespace mvhost {
namespace {

std::atomic<Host::State *> g_active{nullptr};
std::atomic<size_t> g_in_flight{0};
thread_local bool t_audio = false;

// Holds the live host for one API call, so that it is not torn down under it.
class ActiveHost {
  public:
    ActiveHost() {
        g_in_flight.fetch_add(1);
        state_ = g_active.load();
    }
    ~ActiveHost() { g_in_flight.fetch_sub(1); }
    ActiveHost(const ActiveHost &) = delete;
    ActiveHost &operator=(const ActiveHost &) = delete;
    [[nodiscard]] Host::State *get() const { return state_; }

  private:
    Host::State *state_;
};

// Records a call of slot by plugin id, then runs answer(state) under the state
// lock on the main thread, within the client's time-out.
template <typename Answer> Status serve(size_t slot, PluginId id, Answer answer) {
    const ActiveHost active;
    Host::State *s = active.get();
    if (s == nullptr) return kStatusTimedOut;
    s->calls[slot].fetch_add(1);
    {
        std::lock_guard lock(s->mutex);
        if (s->lifecycle == Lifecycle::shut_down) ++s->calls_after_shutdown;
        if (s->lifecycle != Lifecycle::loaded && id != s->plugin_id) ++s->wrong_plugin_id_calls;
        if (t_audio) ++s->audio_thread_calls;
    }
    Status status = kStatusTimedOut;
    auto work = [&] {
        std::lock_guard lock(s->mutex);
        status = answer(*s);
    };
    if (s->main.run_within(FnRef(work), s->options.api_timeout)) return status;
    s->timeouts.fetch_add(1);
    return kStatusTimedOut;
}

Status free_memory(PluginId id, const void *pointer) {
    return serve(kSlotFreeMemory, id, [&](Host::State &s) {
        const ApiFault fault = s.fault(kSlotFreeMemory);
        if (fault.kind == Fault::null_result) return kStatusOk;
        const Status released = s.blocks.release(pointer);
        return fault.kind == Fault::status ? fault.status : released;
    });
}

Status get_active_server_connection(PluginId id, ConnectionId *connection) {
    return serve(kSlotGetActiveServerConnection, id, [&](Host::State &s) {
        const ApiFault fault = s.fault(kSlotGetActiveServerConnection);
        if (fault.kind != Fault::none) return fault.kind == Fault::status ? fault.status : kStatusOk;
        if (s.connection_state == ConnectionState::none) return kStatusNoActiveConnection;
        *connection = s.connection;
        return kStatusOk;
    });
}

Status is_connection_synchronized(PluginId id, ConnectionId connection, bool *synchronized) {
    return serve(kSlotIsConnectionSynchronized, id, [&](Host::State &s) {
        const ApiFault fault = s.fault(kSlotIsConnectionSynchronized);
        if (fault.kind != Fault::none) return fault.kind == Fault::status ? fault.status : kStatusOk;
        if (s.connection_state == ConnectionState::none || connection != s.connection)
            return kStatusConnectionNotFound;
        *synchronized = s.connection_state == ConnectionState::synchronised;
        return kStatusOk;
    });
}

Status get_local_user_id(PluginId id, ConnectionId connection, UserId *user) {
    return serve(kSlotGetLocalUserId, id, [&](Host::State &s) {
        const ApiFault fault = s.fault(kSlotGetLocalUserId);
        if (fault.kind != Fault::none) return fault.kind == Fault::status ? fault.status : kStatusOk;
        const Status status = s.session_status(connection);
        if (status == kStatusOk) *user = s.local_user;
        return status;
    });
}

// getUserName and getUserHash differ only in the field they hand out.
Status user_text(size_t slot, PluginId id, ConnectionId connection, UserId user, const char **text) {
    return serve(slot, id, [&](Host::State &s) {
        const ApiFault fault = s.fault(slot, user);
        if (fault.kind == Fault::status) return fault.status;
        if (fault.kind == Fault::null_result) {
            *text = nullptr;
            return kStatusOk;
        }
        const Status status = s.session_status(connection);
        if (status != kStatusOk) return status;
        const RosterUser *found = s.find_user(user);
        if (found == nullptr) return kStatusNoSuchUser;
        const bool name = slot == kSlotGetUserName;
        *text = s.blocks.hand_out(name ? found->name : found->hash,
                                  (name ? "getUserName user=" : "getUserHash user=") + std::to_string(user));
        return fault.kind == Fault::status_with_result ? fault.status : kStatusOk;
    });
}

Status get_user_name(PluginId id, ConnectionId connection, UserId user, const char **name) {
    return user_text(kSlotGetUserName, id, connection, user, name);
}

Status get_user_hash(PluginId id, ConnectionId connection, UserId user, const char **hash) {
    return user_text(kSlotGetUserHash, id, connection, user, hash);
}

Status get_all_users(PluginId id, ConnectionId connection, UserId **users, size_t *count) {
    return serve(kSlotGetAllUsers, id, [&](Host::State &s) {
        const ApiFault fault = s.fault(kSlotGetAllUsers);
        if (fault.kind == Fault::status) return fault.status;
        if (fault.kind == Fault::null_result) {
            *users = nullptr;
            *count = s.roster.size();
            return kStatusOk;
        }
        const Status status = s.session_status(connection);
        if (status != kStatusOk) return status;
        std::vector<UserId> ids;
        for (const RosterUser &user : s.roster)
            ids.push_back(user.id);
        *users = s.blocks.hand_out(ids, "getAllUsers count=" + std::to_string(ids.size()));
        *count = ids.size();
        return fault.kind == Fault::status_with_result ? fault.status : kStatusOk;
    });
}

Status log(PluginId id, const char *message) {
    return serve(kSlotLog, id, [&](Host::State &s) {
        const ApiFault fault = s.fault(kSlotLog);
        if (fault.kind != Fault::none) return fault.kind == Fault::status ? fault.status : kStatusOk;
        if (s.options.keep_log_lines) s.log.emplace_back(message != nullptr ? message : "");
        s.log_changed.notify_all();
        return kStatusOk;
    });
}

// Slots the plugin has no use for answer an error and are counted. They read
// no arguments, and the caller cleans up the stack on both platforms, so one
// signature serves every slot.
template <size_t N> Status unused_slot() {
    const ActiveHost active;
    if (active.get() != nullptr) active.get()->calls[N].fetch_add(1);
    return kStatusGenericError;
}

Status stale_slot() {
    const ActiveHost active;
    if (active.get() != nullptr) active.get()->stale_calls.fetch_add(1);
    return kStatusTimedOut;
}

template <typename Fn> void *as_slot(Fn fn) {
    return reinterpret_cast<void *>(fn);
}

template <size_t... N> void fill_unused(void *(&table)[kApiSlots], std::index_sequence<N...>) {
    ((table[N] = as_slot(&unused_slot<N>)), ...);
}

} // namespace

void activate(Host::State *state) {
    Host::State *expected = nullptr;
    if (!g_active.compare_exchange_strong(expected, state))
        throw std::logic_error("only one mvhost::Host may exist at a time");
}

void deactivate(Host::State *state) {
    Host::State *expected = state;
    g_active.compare_exchange_strong(expected, nullptr);
    while (g_in_flight.load() != 0)
        std::this_thread::yield();
}

void fill_api_table(const Host::State &state, void *(&table)[kApiSlots]) {
    fill_unused(table, std::make_index_sequence<kApiSlots>{});
    table[kSlotFreeMemory] = as_slot(&free_memory);
    table[kSlotGetActiveServerConnection] = as_slot(&get_active_server_connection);
    table[kSlotIsConnectionSynchronized] = as_slot(&is_connection_synchronized);
    table[kSlotGetLocalUserId] = as_slot(&get_local_user_id);
    table[kSlotGetUserName] = as_slot(&get_user_name);
    table[kSlotGetAllUsers] = as_slot(&get_all_users);
    table[kSlotGetUserHash] = as_slot(&get_user_hash);
    table[kSlotLog] = as_slot(&log);
    std::lock_guard lock(state.mutex);
    for (size_t slot = 0; slot < kApiSlots; ++slot) {
        if (state.faults[slot].kind == Fault::missing) table[slot] = nullptr;
    }
}

void poison_api_table(void *(&table)[kApiSlots]) {
    // Volatile stores: the table is dead to the compiler once this returns.
    void *volatile *slots = table;
    for (size_t slot = 0; slot < kApiSlots; ++slot)
        slots[slot] = as_slot(&stale_slot);
}

bool mark_audio_thread(bool audio) {
    return std::exchange(t_audio, audio);
}

} // namespace mvhost
