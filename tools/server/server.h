// The reference falloff server: accepts plugins, checks their handshake, and
// streams UPDATE2 lines computed from a scenario to each established session.
// One thread, one poll loop.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/roster.h"
#include "common/scenario.h"
#include "server/handshake.h"

namespace mvtools {

struct ServerConfig {
    std::string bind = "127.0.0.1";
    uint16_t port = 8890;
    Roster roster;
    std::string roster_path; // when set, reloaded when the file changes
    Scenario scenario;
    double rate_hz = 10;
    double ping_sec = 15;         // our PING to each session; 0: never
    double idle_timeout_sec = 60; // established link silent this long: closed
    double handshake_timeout_sec = 10;
    size_t max_sessions = 64;
    // Challenge tokens; random unless a test fixes them.
    std::function<std::string()> token_source;
};

struct ServerStats {
    size_t accepted = 0;
    size_t established = 0;
    size_t rejected = 0;
    size_t updates_sent = 0;
    size_t pings_answered = 0;
};

class FalloffServer {
  public:
    FalloffServer(ServerConfig config, Logger &log);
    ~FalloffServer();
    FalloffServer(const FalloffServer &) = delete;
    FalloffServer &operator=(const FalloffServer &) = delete;

    bool open(std::string *error);
    [[nodiscard]] uint16_t port() const { return port_; }
    // Serves until stop becomes true (checked at least every 100 ms).
    void run(const std::atomic<bool> &stop);
    [[nodiscard]] ServerStats stats() const;

  private:
    using Clock = std::chrono::steady_clock;
    struct Session;

    void accept_new();
    void reload_roster_if_changed();
    void on_readable(Session &s);
    void on_line(Session &s, std::string_view line);
    void send(Session &s, std::string_view bytes);
    void flush(Session &s);
    void tick(Clock::time_point now);
    void close_session(Session &s, const std::string &reason);

    ServerConfig config_;
    Logger &log_;
    int listener_ = -1;
    uint16_t port_ = 0;
    int64_t roster_mtime_ = 0;
    size_t next_id_ = 1;
    std::vector<std::unique_ptr<Session>> sessions_;
    bool clock_started_ = false;
    Clock::time_point clock_start_{};

    std::atomic<size_t> accepted_{0}, established_{0}, rejected_{0}, updates_sent_{0}, pings_answered_{0};
};

} // namespace mvtools
