// The session the API answers from, and the client's events that change it.
#include <algorithm>

#include "host/state.h"

namespace mvhost {

ApiFault Host::State::fault(size_t slot, std::optional<UserId> user) const {
    const ApiFault &f = faults[slot];
    // A missing slot is null in the table; one registered before the fault
    // was set answers as usual.
    if (f.kind == Fault::missing) return {};
    if (f.only_user && (!user || *user != *f.only_user)) return {};
    return f;
}

Status Host::State::session_status(ConnectionId asked) const {
    if (connection_state == ConnectionState::none || asked != connection) return kStatusConnectionNotFound;
    if (connection_state != ConnectionState::synchronised) return kStatusNotSynchronised;
    return kStatusOk;
}

const RosterUser *Host::State::find_user(UserId id) const {
    const auto it =
        std::find_if(roster.begin(), roster.end(), [id](const RosterUser &u) { return u.id == id; });
    return it != roster.end() ? &*it : nullptr;
}

void Host::set_connection(ConnectionId connection, ConnectionState state) {
    std::lock_guard lock(state_->mutex);
    state_->connection = connection;
    state_->connection_state = state;
}

void Host::set_local_user(UserId id) {
    std::lock_guard lock(state_->mutex);
    state_->local_user = id;
}

void Host::set_roster(std::vector<RosterUser> users) {
    std::lock_guard lock(state_->mutex);
    state_->roster = std::move(users);
}

void Host::add_user(RosterUser user) {
    std::lock_guard lock(state_->mutex);
    state_->roster.push_back(std::move(user));
}

void Host::remove_user(UserId id) {
    std::lock_guard lock(state_->mutex);
    std::erase_if(state_->roster, [id](const RosterUser &user) { return user.id == id; });
}

void Host::set_fault(size_t slot, ApiFault fault) {
    std::lock_guard lock(state_->mutex);
    if (slot < kApiSlots) state_->faults[slot] = fault;
}

void Host::join(ConnectionId connection, std::vector<RosterUser> roster) {
    State &s = *state_;
    std::vector<UserId> ids;
    for (const RosterUser &user : roster)
        ids.push_back(user.id);
    if (!ids.empty()) set_local_user(ids.front());
    set_roster(std::move(roster));
    set_connection(connection, ConnectionState::connected);
    const PluginExports &p = s.exports;
    if (p.onServerConnected != nullptr) on_network([&] { p.onServerConnected(connection); });
    // One event at a time, as the server's messages arrive: the main loop
    // serves other threads' API calls in between.
    for (const UserId id : ids) {
        if (p.onUserAdded != nullptr) on_main([&] { p.onUserAdded(connection, id); });
        if (p.onChannelEntered != nullptr) on_main([&] { p.onChannelEntered(connection, id, -1, 0); });
    }
    set_connection(connection, ConnectionState::synchronised);
    if (p.onServerSynchronized != nullptr) on_main([&] { p.onServerSynchronized(connection); });
}

void Host::leave() {
    State &s = *state_;
    ConnectionId connection = 0;
    {
        std::lock_guard lock(s.mutex);
        if (s.connection_state == ConnectionState::none) return;
        connection = s.connection;
        s.connection_state = ConnectionState::none;
    }
    if (s.exports.onServerDisconnected != nullptr)
        on_network([&] { s.exports.onServerDisconnected(connection); });
}

void Host::user_joins(RosterUser user) {
    State &s = *state_;
    const UserId id = user.id;
    ConnectionId connection = 0;
    bool on_server = false;
    {
        std::lock_guard lock(s.mutex);
        s.roster.push_back(std::move(user));
        connection = s.connection;
        on_server = s.connection_state != ConnectionState::none;
    }
    if (!on_server) return;
    const PluginExports &p = s.exports;
    if (p.onUserAdded != nullptr) on_main([&] { p.onUserAdded(connection, id); });
    if (p.onChannelEntered != nullptr) on_main([&] { p.onChannelEntered(connection, id, -1, 0); });
}

void Host::user_leaves(UserId id) {
    State &s = *state_;
    ConnectionId connection = 0;
    bool on_server = false;
    {
        std::lock_guard lock(s.mutex);
        std::erase_if(s.roster, [id](const RosterUser &user) { return user.id == id; });
        connection = s.connection;
        on_server = s.connection_state != ConnectionState::none;
    }
    if (on_server && s.exports.onUserRemoved != nullptr)
        on_main([&] { s.exports.onUserRemoved(connection, id); });
}

bool Host::audio_source_fetched(float *samples, uint32_t frames, uint16_t channels, UserId user,
                                bool is_speech) {
    const auto fetched = state_->exports.onAudioSourceFetched;
    if (fetched == nullptr) return false;
    return on(HostThread::audio, [&] { return fetched(samples, frames, channels, 48000, is_speech, user); });
}

} // namespace mvhost
