// A falloff server for load, on 127.0.0.1: it plays the handshake (any proof
// is taken) with one plugin at a time and streams prepared update lines on
// the established link on request, back to back or paced. One thread accepts
// and reads what the plugin sends; a second one streams. Nothing is allocated
// once a stream is prepared, and nothing is recorded, so that the server never
// shows in the heap counts of the process it runs in.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/net.h"

namespace mvfalloff {

class StreamServer {
  public:
    enum class Mode {
        normal, // CHALLENGE after HELLO2, OK after PROOF
        mute,   // reads HELLO2 and never answers
    };
    // Runs first on each of the server's threads (a bench marks them as its own).
    using ThreadStart = void (*)();

    explicit StreamServer(ThreadStart on_thread_start = nullptr);
    ~StreamServer();
    StreamServer(const StreamServer &) = delete;
    StreamServer &operator=(const StreamServer &) = delete;

    [[nodiscard]] bool listening() const { return listener_.valid(); }
    [[nodiscard]] uint16_t port() const { return port_; }
    void set_mode(Mode mode) { mode_.store(mode); }

    // Counters since start.
    [[nodiscard]] uint64_t accepted() const { return accepted_.load(); }
    [[nodiscard]] uint64_t hellos() const { return hellos_.load(); }
    [[nodiscard]] uint64_t established() const { return established_.load(); }
    [[nodiscard]] uint64_t bytes_sent() const { return bytes_sent_.load(); }
    [[nodiscard]] uint64_t lines_from_plugin() const { return lines_in_.load(); }
    [[nodiscard]] bool connected() const { return connected_.load(); }

    // Streams lines (each ending in LF) on the current link, rounds times over
    // (0: until cancelled), with pace_us between lines (0: back to back). The
    // lines must outlive the stream. Returns at once; wait_stream() waits.
    void stream(const std::vector<std::string> *lines, uint64_t rounds, uint32_t pace_us);
    void cancel_stream();
    void wait_stream();

    // Closes the current connection; returns once it is closed (or, during a
    // stream, once the stream has stopped using it).
    void drop();

  private:
    void serve();
    void send_loop();
    bool send_all(mvnet::Socket s, const char *data, size_t len);
    void handle_line(const char *line, size_t len);
    void read_from(mvnet::Socket s);
    void close_connection();

    mvnet::UniqueSocket listener_;
    uint16_t port_ = 0;
    ThreadStart on_thread_start_;
    std::atomic<Mode> mode_{Mode::normal};
    std::atomic<bool> stop_{false};
    std::atomic<mvnet::Socket> socket_{mvnet::kInvalidSocket};
    std::atomic<bool> connected_{false};
    std::atomic<bool> drop_requested_{false};

    // Serving thread only.
    enum class Phase { hello, proof, established, muted } phase_ = Phase::hello;
    char in_[16384];
    size_t in_len_ = 0;

    std::atomic<uint64_t> accepted_{0}, hellos_{0}, established_{0}, bytes_sent_{0}, lines_in_{0};

    std::mutex mutex_;
    std::condition_variable cv_;
    const std::vector<std::string> *lines_ = nullptr;
    uint64_t rounds_ = 0;
    uint32_t pace_us_ = 0;
    bool job_ = false;
    // The socket the running stream sends on; closing it waits for the stream.
    mvnet::Socket streaming_ = mvnet::kInvalidSocket;
    bool close_when_streamed_ = false;
    std::atomic<bool> cancel_{false};

    std::thread server_thread_;
    std::thread sender_thread_;
};

} // namespace mvfalloff
