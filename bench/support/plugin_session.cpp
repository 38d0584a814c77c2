#include "support/plugin_session.h"

#include <stdexcept>

#include "host/plugin_dir.h"
#include "support/workload.h"

namespace mvbench {

std::vector<mvhost::RosterUser> roster(size_t users) {
    std::vector<mvhost::RosterUser> r{{kLocalUser, "VC-Me", "0123456789abcdef0123456789abcdef01234567"}};
    for (size_t i = 0; r.size() < users; ++i)
        r.push_back({static_cast<mvhost::UserId>(i + 2), speaker_alias(i), ""});
    return r;
}

// Frees what the plugin releases at once, so that a long session shows the
// plugin's heap and not the host's; log lines are only counted.
PluginSession::PluginSession(ThreadMark mark_host_threads)
    : dir_(mvhost::build_path(MV_PLUGIN_LIBRARY)), library_path_(dir_.library_path()),
      host_(library_path_, mvhost::HostOptions{mvhost::Blocks::free_at_once, false}) {
    if (!host_.loaded()) throw std::runtime_error("the plugin did not load: " + host_.load_error());
    if (mark_host_threads != nullptr) {
        host_.on_main(mark_host_threads);
        host_.on_network(mark_host_threads);
        host_.on(mvhost::HostThread::audio, mark_host_threads);
    }
}

PluginSession::~PluginSession() {
    stop();
}

void PluginSession::write_settings(const SessionSettings &s) const {
    dir_.write_ini("server_host = " + s.host + "\nserver_port = " + std::to_string(s.port) +
                   "\napi_key = bench-key\nenabled = 1\ndebug_log = " + (s.debug_log ? "1" : "0") +
                   "\nreconnect_sec = " + std::to_string(s.reconnect_sec) + "\n" + s.extra);
}

void PluginSession::start(size_t users) {
    std::vector<mvhost::RosterUser> r = roster(users);
    host_.set_local_user(r.front().id);
    host_.set_roster(std::move(r));
    host_.set_connection(kConnection, mvhost::ConnectionState::none);
    host_.start();
    host_.set_connection(kConnection, mvhost::ConnectionState::synchronised);
}

void PluginSession::synchronise() const {
    plugin().onServerSynchronized(kConnection);
}

void PluginSession::disconnect() const {
    plugin().onServerDisconnected(kConnection);
}

void PluginSession::stop() {
    host_.shutdown();
}

} // namespace mvbench
