// The plugin as the benches drive it: a copy of the built library in a folder
// of its own, loaded by the one host stand-in (mv_host), with the settings a
// bench asks for. Shared by the plugin bench and the portable harness.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/host.h"

namespace mvbench {

inline constexpr mvhost::UserId kLocalUser = 1;
inline constexpr mvhost::ConnectionId kConnection = 1;

// The local user and users-1 others, named as the update lines name speakers
// (speaker i is user i + 2).
[[nodiscard]] std::vector<mvhost::RosterUser> roster(size_t users);

struct SessionSettings {
    std::string host = "127.0.0.1";
    uint16_t port = 0;
    int reconnect_sec = 1;
    bool debug_log = false;
    std::string extra; // further "key = value" lines
};

class PluginSession {
  public:
    // Runs first on each of the host's threads: the bench marks them as its
    // own, as the API's answers (and their allocations) run there.
    using ThreadMark = void (*)();

    explicit PluginSession(ThreadMark mark_host_threads); // throws when the library does not load
    ~PluginSession();
    PluginSession(const PluginSession &) = delete;
    PluginSession &operator=(const PluginSession &) = delete;

    [[nodiscard]] mvhost::Host &host() { return host_; }
    [[nodiscard]] const mvhost::PluginExports &plugin() const { return host_.plugin(); }
    [[nodiscard]] const std::string &library_path() const { return library_path_; }

    // marlpike_voice.ini beside the library; read by the next start.
    void write_settings(const SessionSettings &settings) const;
    // Inits the plugin with no server (so it does not join at init) over a
    // roster of users, then lets the API answer as on a synchronised server.
    void start(size_t users);
    // The client's events, called from the calling thread, as a bench times them.
    void synchronise() const;
    void disconnect() const;
    void stop(); // shutdown

  private:
    mvhost::TempPluginDir dir_;
    std::string library_path_;
    mvhost::Host host_;
};

} // namespace mvbench
