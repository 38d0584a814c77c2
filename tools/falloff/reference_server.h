// The reference falloff server: accepts plugins, checks their handshake
// against a roster, and sends each established session UPDATE2 lines computed
// from a scenario (distance falloff, bearing pan; UPDATE3 with a muffle when
// the scenario has walls) at a steady rate, with a
// PING now and then. Every session is logged. One thread, one poll loop.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/log.h"
#include "common/roster.h"
#include "common/scenario.h"
#include "net/net.h"

namespace mvfalloff {

struct ReferenceConfig {
    std::string bind = "127.0.0.1";
    uint16_t port = 8890; // 0: one chosen by the system
    mvtools::Roster roster;
    std::string roster_path; // when set, reloaded when the file changes
    mvtools::Scenario scenario;
    double rate_hz = 10;
    double ping_sec = 15;         // our PING to each session; 0: never
    double idle_timeout_sec = 60; // established link silent this long: closed; 0: never
    double handshake_timeout_sec = 10;
    size_t max_sessions = 64;
    // Challenge tokens; random unless a test fixes them.
    std::function<std::string()> token_source;
};

struct ReferenceStats {
    size_t accepted = 0;
    size_t established = 0;
    size_t rejected = 0;
    size_t updates_sent = 0;
    size_t pings_sent = 0;
    size_t pings_answered = 0; // OK lines after our PINGs
};

class ReferenceServer {
  public:
    ReferenceServer(ReferenceConfig config, mvtools::Logger &log);
    // Stops the thread of start(), if any, and closes every socket.
    ~ReferenceServer();
    ReferenceServer(const ReferenceServer &) = delete;
    ReferenceServer &operator=(const ReferenceServer &) = delete;

    // Listens; false with the reason in *error.
    bool open(std::string *error);
    [[nodiscard]] uint16_t port() const { return port_; }
    // Serves on the calling thread until stop becomes true (checked at least
    // every 100 ms).
    void run(const std::atomic<bool> &stop);
    // Or: opens and serves on a thread of its own until stop() or destruction.
    bool start(std::string *error);
    void stop();

    [[nodiscard]] ReferenceStats stats() const;

  private:
    using Clock = std::chrono::steady_clock;
    struct Session;

    void accept_new();
    void reload_roster_if_changed();
    void on_readable(Session &s);
    void on_line(Session &s, std::string_view line);
    void on_established(Session &s);
    void send(Session &s, std::string_view bytes);
    void flush(Session &s);
    void tick(Clock::time_point now);
    void close_session(Session &s, const std::string &reason);
    [[nodiscard]] int next_wake_ms(Clock::time_point now) const;

    ReferenceConfig config_;
    mvtools::Logger &log_;
    mvnet::UniqueSocket listener_;
    uint16_t port_ = 0;
    std::filesystem::file_time_type roster_mtime_{};
    size_t next_id_ = 1;
    std::vector<std::unique_ptr<Session>> sessions_;
    bool clock_started_ = false;
    Clock::time_point clock_start_{};

    std::atomic<size_t> accepted_{0}, established_{0}, rejected_{0}, updates_sent_{0}, pings_sent_{0},
        pings_answered_{0};

    std::atomic<bool> stop_{false}; // for start()
    std::thread thread_;
};

} // namespace mvfalloff
