#include "state/host_calls.h"

#include "state/state.h"

namespace mv::host {

namespace {

// Held only to look at api_open and to change it, never across a host call:
// once close_api has taken it no call can start, and a call already inside
// the host (a log call from the worker waits up to 800 ms for the host's main
// thread) is never waited for. Whoever makes a call keeps the library loaded
// until it returns (our threads hold a reference on it).
constinit platform::Lock g_api_gate;

template <typename Fn> Fn slot_fn(ApiSlot slot) noexcept {
    return reinterpret_cast<Fn>(g_state.api_table[slot]);
}

} // namespace

bool has_slots(std::initializer_list<ApiSlot> slots) noexcept {
    if (!g_state.api_registered.load(std::memory_order_acquire)) return false;
    for (ApiSlot slot : slots)
        if (g_state.api_table[slot] == nullptr) return false;
    return true;
}

void HostPointer::reset() noexcept {
    if (ptr_ != nullptr && has_slots({kSlotFreeMemory}))
        slot_fn<FreeMemoryFn>(kSlotFreeMemory)(g_state.plugin_id.load(), ptr_);
    ptr_ = nullptr;
}

bool synchronised_connection(ConnectionId &out) noexcept {
    out = -1;
    if (!has_slots({kSlotGetActiveServerConnection, kSlotIsConnectionSynchronized})) return false;
    const PluginId id = g_state.plugin_id.load();
    ConnectionId connection = -1;
    if (slot_fn<GetActiveServerConnectionFn>(kSlotGetActiveServerConnection)(id, &connection) != 0 ||
        connection < 0)
        return false;
    bool synchronised = false;
    if (slot_fn<IsConnectionSynchronizedFn>(kSlotIsConnectionSynchronized)(id, connection, &synchronised) !=
            0 ||
        !synchronised)
        return false;
    out = connection;
    return true;
}

bool get_local_user_id(ConnectionId connection, UserId &out) noexcept {
    out = 0;
    if (!has_slots({kSlotGetLocalUserId})) return false;
    return slot_fn<GetLocalUserIdFn>(kSlotGetLocalUserId)(g_state.plugin_id.load(), connection, &out) == 0;
}

static bool get_string(ApiSlot slot, ConnectionId connection, UserId user, HostPointer &out) noexcept {
    out.reset();
    if (!has_slots({slot})) return false;
    const char *text = nullptr;
    ErrorCode status = slot_fn<GetUserNameFn>(slot)(g_state.plugin_id.load(), connection, user, &text);
    out.adopt(text);
    return status == 0 && text != nullptr;
}

bool get_user_name(ConnectionId connection, UserId user, HostPointer &name) noexcept {
    return get_string(kSlotGetUserName, connection, user, name);
}

bool get_user_hash(ConnectionId connection, UserId user, HostPointer &hash) noexcept {
    return get_string(kSlotGetUserHash, connection, user, hash);
}

bool get_all_users(ConnectionId connection, HostPointer &users, size_t &count) noexcept {
    users.reset();
    count = 0;
    if (!has_slots({kSlotGetAllUsers})) return false;
    UserId *ids = nullptr;
    ErrorCode status =
        slot_fn<GetAllUsersFn>(kSlotGetAllUsers)(g_state.plugin_id.load(), connection, &ids, &count);
    users.adopt(ids);
    if (status != 0 || ids == nullptr) {
        count = 0;
        return false;
    }
    return true;
}

void log_line(const char *line) noexcept {
    LogFn log = nullptr;
    {
        platform::LockGuard gate(g_api_gate);
        if (g_state.api_open.load() && has_slots({kSlotLog})) log = slot_fn<LogFn>(kSlotLog);
    }
    if (log != nullptr) log(g_state.plugin_id.load(), line);
}

void open_api() noexcept {
    platform::LockGuard gate(g_api_gate);
    g_state.api_open.store(true);
}

void close_api() noexcept {
    platform::LockGuard gate(g_api_gate);
    g_state.api_open.store(false);
}

} // namespace mv::host
