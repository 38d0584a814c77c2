// A falloff server for the plugin benches, on 127.0.0.1. One thread accepts,
// plays the handshake (accepting any proof) and reads what the plugin sends;
// a second one streams update lines on the established link on request. It
// allocates nothing once a stream is prepared, so that it never shows in the
// plugin's heap counts.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace mvbench {

class BenchServer {
  public:
    enum class Mode {
        normal, // CHALLENGE after HELLO2, OK after PROOF
        mute,   // reads HELLO2 and never answers
    };

    BenchServer();
    ~BenchServer();
    BenchServer(const BenchServer &) = delete;
    BenchServer &operator=(const BenchServer &) = delete;

    [[nodiscard]] int port() const { return port_; }
    void set_mode(Mode mode) { mode_.store(mode); }

    // Counters since start.
    [[nodiscard]] uint64_t accepted() const { return accepted_.load(); }
    [[nodiscard]] uint64_t hellos() const { return hellos_.load(); }
    [[nodiscard]] uint64_t established() const { return established_.load(); }
    [[nodiscard]] uint64_t bytes_sent() const { return bytes_sent_.load(); }
    [[nodiscard]] uint64_t lines_from_plugin() const { return lines_in_.load(); }
    [[nodiscard]] bool connected() const { return connected_.load(); }

    // Streams lines (each ending in LF) on the established link, rounds times
    // over (0 = until cancel), with pace_us between lines (0 = back to back).
    // The lines must outlive the stream. Returns at once; wait_stream() waits.
    void stream(const std::vector<std::string> *lines, uint64_t rounds, uint32_t pace_us);
    void cancel_stream();
    void wait_stream();

    // Closes the current connection (between streams only).
    void drop();

  private:
    void serve();
    void send_loop();
    bool send_all(int fd, const char *data, size_t len);
    void handle_line(const char *line, size_t len);
    void close_connection();

    int listener_ = -1;
    int port_ = 0;
    std::atomic<Mode> mode_{Mode::normal};
    std::atomic<bool> stop_{false};
    std::atomic<int> fd_{-1};
    std::atomic<bool> connected_{false};
    std::atomic<bool> drop_requested_{false};
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
    std::atomic<bool> cancel_{false};

    std::thread server_thread_;
    std::thread sender_thread_;
};

} // namespace mvbench
