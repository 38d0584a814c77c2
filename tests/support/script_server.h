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

#include "test_net.h"
#include "wait.h"

namespace mvtest {

// The handshake as the server plays it: reads "HELLO2 <api_key> <alias>",
// sends "CHALLENGE <token>\n", reads "PROOF <64 lowercase hex>", compares it
// with proof (when not empty) and sends reply as given.
struct Handshake {
    std::string api_key;
    std::string alias;
    std::string token;
    std::string proof; // expected; computed independently (see proof_vectors.h)
    std::string reply = "OK\n";
};

struct Step {
    enum class Kind {
        expect_exact,
        expect_prefix,
        expect_any,
        expect_close,
        send,
        pause,
        silent,
        close,
        reset,
        accept,
        handshake,
        gate
    };

    // Each expect consumes the next line not yet consumed (without its LF; a
    // CR stays). A mismatch or a close ends the script with an error.
    static Step expect(std::string line) { return {Kind::expect_exact, std::move(line)}; }
    static Step expect_prefix(std::string prefix) { return {Kind::expect_prefix, std::move(prefix)}; }
    static Step expect_any() { return {Kind::expect_any, {}}; }
    // Reads until the peer closes the connection (or resets it).
    static Step expect_close() { return {Kind::expect_close, {}}; }
    static Step send(std::string bytes) { return {Kind::send, std::move(bytes)}; }
    static Step send_line(std::string line) { return {Kind::send, std::move(line) + "\n"}; }
    // Waits, still reading and recording what arrives.
    static Step pause(uint32_t ms) { return {Kind::pause, {}, ms}; }
    // Waits without reading, so that what the peer sends stays unread.
    static Step silent(uint32_t ms) { return {Kind::silent, {}, ms}; }
    static Step close() { return {Kind::close, {}}; }
    static Step reset() { return {Kind::reset, {}}; }
    // Closes the current connection if still open and waits for the next.
    static Step accept() { return {Kind::accept, {}}; }
    static Step handshake(Handshake h) {
        Step step{Kind::handshake, {}};
        step.hs = std::move(h);
        return step;
    }
    // Waits, still reading and recording, until the test calls open_gate()
    // once more than the gates already passed: lets a test look at the plugin
    // at a moment the server holds still.
    static Step gate() { return {Kind::gate, {}}; }

    Kind kind;
    std::string text;
    uint32_t ms = 0;
    Handshake hs{};
};

class ScriptServer {
  public:
    explicit ScriptServer(std::vector<Step> script);
    // Plays the script on a listening socket made elsewhere (a fixed port, a
    // listener whose backlog was full); takes ownership of it.
    ScriptServer(std::vector<Step> script, net::Socket listener, uint16_t port);
    // Stops the thread (it polls in short slices, so this never hangs) and
    // closes every socket.
    ~ScriptServer();
    ScriptServer(const ScriptServer &) = delete;
    ScriptServer &operator=(const ScriptServer &) = delete;

    [[nodiscard]] bool listening() const { return listener_ != net::kInvalidSocket; }
    [[nodiscard]] uint16_t port() const { return port_; }

    // Lets the script past its next gate() step (or the one after, and so on).
    void open_gate();

    // ---- waits; each returns at the deadline with what it has ----------------
    // At least count lines beginning with prefix on that connection (0-based).
    bool wait_for_lines(std::string_view prefix, size_t count, size_t connection,
                        std::chrono::milliseconds deadline = kDefaultDeadline) const;
    // The peer closed or reset that connection (seen only while the server reads it).
    bool wait_for_peer_close(size_t connection, std::chrono::milliseconds deadline = kDefaultDeadline) const;
    // Every step has been played, or the script ended on an error.
    bool wait_until_done(std::chrono::milliseconds deadline = kDefaultDeadline) const;

    // ---- what happened ------------------------------------------------------------
    [[nodiscard]] size_t connections() const;
    [[nodiscard]] std::vector<std::string> lines(size_t connection) const;
    [[nodiscard]] std::string raw(size_t connection) const; // every byte received
    [[nodiscard]] std::vector<std::string> errors() const;

  private:
    struct Connection {
        std::string raw;
        std::vector<std::string> lines;
        std::string partial;
        bool peer_closed = false;
    };
    enum class Got { line, closed, stopped };

    void run();
    bool play(const Step &step);
    bool accept_next();
    // Reads once if data arrives within timeout_ms; false once the peer has gone.
    bool pump(int timeout_ms);
    // Holds until done() or a stop, reading and recording what arrives when
    // read is set; false on a stop.
    template <typename Done> bool hold(Done done, bool read);
    Got next_line(std::string *line);
    bool send_bytes(std::string_view bytes);
    void fail(std::string what);
    void drop_connection(bool reset);
    template <typename Pred> bool wait(std::chrono::milliseconds deadline, Pred pred) const;

    std::vector<Step> script_;
    net::Socket listener_ = net::kInvalidSocket;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<size_t> gates_opened_{0};
    size_t gates_passed_ = 0; // server thread only

    // Server thread only.
    net::Socket socket_ = net::kInvalidSocket;
    size_t consumed_ = 0; // lines of the current connection taken by steps

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Connection> connections_;
    std::vector<std::string> errors_;
    bool done_ = false;

    std::thread thread_; // last: starts once everything above exists
};

} // namespace mvtest
