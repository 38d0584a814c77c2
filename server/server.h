// The falloff server: plugin links (handshake, one link per alias, an update
// whenever a listener's table changes, PING, timeouts), control connections
// that feed the world, an optional scenario feeder, and the tick that turns
// the world into tables. One io_context on one thread, which the tick's
// tables and sends share with config.threads - 1 workers; Asio stays out of
// this header.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "rules.h"
#include "scenario.h"
#include "tables.h"
#include "world.h"

namespace mvserver {

class Log;

struct ServerConfig {
    std::string bind = "127.0.0.1";
    uint16_t port = 8890; // 0: one chosen by the system
    std::optional<uint16_t> control_port;
    std::string control_bind = "127.0.0.1";
    std::string key;              // the shared key; never logged
    std::string key_source = "-"; // for the start line
    Rules rules;
    IndexKind index = IndexKind::grid;
    unsigned threads = 1; // the tick's workers, the event loop's thread among them
    double rate_hz = 10;
    double ping_sec = 15;         // 0: never
    double idle_timeout_sec = 60; // 0: never
    double stale_sec = 10;        // 0: never
    double seconds = 0;           // 0: until stopped
    double handshake_timeout_sec = 10;
    uint32_t handshakes_per_minute = 30; // 0: no limit
    uint32_t max_links = 20000;
    std::optional<Scenario> scenario;
    bool handle_signals = true; // SIGTERM and SIGINT stop the server
};

class Server {
  public:
    // The world holds the starting players (from a roster).
    Server(ServerConfig config, World world, Log &log);
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // Listens; false with the reason in *error.
    bool open(std::string *error);
    [[nodiscard]] uint16_t port() const;
    [[nodiscard]] uint16_t control_port() const; // 0 without a control port

    // Serves on the calling thread until stop(), a signal or --seconds; every
    // connection is closed when it returns.
    void run();
    // From any thread.
    void stop();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace mvserver
