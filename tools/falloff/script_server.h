// A falloff server that plays a script, for tests of the plugin's link. It
// listens on 127.0.0.1 (ephemeral port) and runs on its own thread. The first
// connection is accepted before the first step; accept() steps take the next
// ones. Every line received is recorded per connection, whether or not a step
// consumes it. When the script ends, the server keeps reading (and recording)
// the current connection until the peer closes it or the server stops.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "falloff/script.h"
#include "net/net.h"

namespace mvfalloff {

// How long waits last unless told otherwise. Generous: a deadline only ends a
// wait that would otherwise hang; it never measures speed.
inline constexpr std::chrono::milliseconds kDefaultDeadline{20000};

class ScriptServer {
  public:
    explicit ScriptServer(std::vector<Step> script);
    // Plays the script on a listening socket made elsewhere (a fixed port, a
    // listener whose backlog was full); takes ownership of it.
    ScriptServer(std::vector<Step> script, mvnet::Socket listener, uint16_t port);
    // Stops the thread (it polls in short slices, so this never hangs) and
    // closes every socket.
    ~ScriptServer();
    ScriptServer(const ScriptServer &) = delete;
    ScriptServer &operator=(const ScriptServer &) = delete;

    [[nodiscard]] bool listening() const { return listener_.valid(); }
    [[nodiscard]] uint16_t port() const { return port_; }

    // Lets the script past its next gate() step (or the one after, and so on).
    void open_gate();

    // ---- waits; each returns at the deadline with what it has ----------------
    // At least count lines beginning with prefix on that connection (0-based).
    bool wait_for_lines(std::string_view prefix, size_t count, size_t connection,
                        std::chrono::milliseconds deadline = kDefaultDeadline) const;
    // The peer closed or reset that connection (seen only while the server reads it).
    bool wait_for_peer_close(size_t connection, std::chrono::milliseconds deadline = kDefaultDeadline) const;
    // At least count connections accepted.
    bool wait_for_connections(size_t count, std::chrono::milliseconds deadline = kDefaultDeadline) const;
    // Every step has been played, or the script ended on an error.
    bool wait_until_done(std::chrono::milliseconds deadline = kDefaultDeadline) const;

    // ---- what happened ------------------------------------------------------------
    [[nodiscard]] size_t connections() const;
    [[nodiscard]] std::vector<std::string> lines(size_t connection) const;
    [[nodiscard]] std::string raw(size_t connection) const; // every byte received
    // Script mismatches and failures, each with the connection it happened on.
    [[nodiscard]] std::vector<std::string> errors() const;

  private:
    struct Connection {
        std::string raw;
        std::vector<std::string> lines;
        std::string partial;
        bool peer_closed = false;
    };
    enum class Got { line, closed, stopped };

    void start();
    void run();
    bool play(const Step &step);
    bool play_handshake(const Handshake &hs);
    bool accept_next();
    // Reads what arrives within timeout_ms; false once the peer has gone.
    bool pump(int timeout_ms);
    // Holds until done() or a stop, reading and recording what arrives when
    // read is set; false on a stop.
    template <typename Done> bool hold(Done done, bool read);
    Got next_line(std::string *line);
    // Fails the script when the line did not come; false then.
    bool expect_line(std::string *line, std::string_view what);
    bool send_bytes(std::string_view bytes);
    void fail(std::string what);
    void drop_connection(bool reset);
    template <typename Pred> bool wait(std::chrono::milliseconds deadline, Pred pred) const;

    std::vector<Step> script_;
    mvnet::UniqueSocket listener_;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<size_t> gates_opened_{0};

    // Server thread only.
    mvnet::UniqueSocket socket_;
    size_t consumed_ = 0;     // lines of the current connection taken by steps
    size_t gates_passed_ = 0; // gate() steps played

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Connection> connections_;
    std::vector<std::string> errors_;
    bool done_ = false;

    std::thread thread_; // last: starts once everything above exists
};

} // namespace mvfalloff
