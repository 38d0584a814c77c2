#include "falloff/stream_server.h"

#include <chrono>
#include <cstring>

namespace mvfalloff {
namespace {

// A plugin that stops reading must not hold a stream for long.
constexpr int kSendTimeoutMs = 1000;
// How often the serving thread looks at its flags when nothing happens.
constexpr int kSliceMs = 20;

bool starts_with(const char *line, size_t len, const char *prefix) {
    const size_t n = std::strlen(prefix);
    return len >= n && std::memcmp(line, prefix, n) == 0;
}

} // namespace

StreamServer::StreamServer(ThreadStart on_thread_start) : on_thread_start_(on_thread_start) {
    listener_.adopt(mvnet::listen_loopback(&port_));
    server_thread_ = std::thread([this] { serve(); });
    sender_thread_ = std::thread([this] { send_loop(); });
}

StreamServer::~StreamServer() {
    stop_.store(true);
    cancel_.store(true);
    {
        std::lock_guard lock(mutex_);
        cv_.notify_all();
    }
    sender_thread_.join();
    server_thread_.join();
    close_connection();
}

bool StreamServer::send_all(mvnet::Socket s, const char *data, size_t len) {
    while (len > 0) {
        const mvnet::IoResult r = mvnet::send_some(s, data, len, kSendTimeoutMs);
        if (r.status != mvnet::Io::done) return false;
        data += r.bytes;
        len -= r.bytes;
        bytes_sent_.fetch_add(r.bytes);
    }
    return true;
}

void StreamServer::close_connection() {
    const mvnet::Socket s = socket_.exchange(mvnet::kInvalidSocket);
    connected_.store(false);
    phase_ = Phase::hello;
    in_len_ = 0;
    if (s == mvnet::kInvalidSocket) return;
    {
        std::lock_guard lock(mutex_);
        // The stream stops at its next line, as the socket is no longer the
        // current one, and closes it then: a socket closed under it could be
        // reused at once for another connection.
        if (s == streaming_) {
            close_when_streamed_ = true;
            return;
        }
    }
    mvnet::close_socket(s);
}

void StreamServer::handle_line(const char *line, size_t len) {
    lines_in_.fetch_add(1);
    const mvnet::Socket s = socket_.load();
    switch (phase_) {
    case Phase::hello:
        if (starts_with(line, len, "HELLO2 ")) {
            hellos_.fetch_add(1);
            if (mode_.load() == Mode::mute) {
                phase_ = Phase::muted;
            } else {
                static constexpr char kChallenge[] = "CHALLENGE bench-token\n";
                send_all(s, kChallenge, sizeof kChallenge - 1);
                phase_ = Phase::proof;
            }
        }
        break;
    case Phase::proof:
        if (starts_with(line, len, "PROOF ")) {
            send_all(s, "OK\n", 3);
            phase_ = Phase::established;
            established_.fetch_add(1);
        }
        break;
    case Phase::established:
    case Phase::muted:
        break;
    }
}

void StreamServer::read_from(mvnet::Socket s) {
    const mvnet::IoResult r = mvnet::receive(s, in_ + in_len_, sizeof in_ - in_len_, 0);
    if (r.status == mvnet::Io::timeout) return;
    if (r.status != mvnet::Io::done) {
        close_connection();
        return;
    }
    in_len_ += r.bytes;
    size_t start = 0;
    for (size_t i = 0; i < in_len_; ++i) {
        if (in_[i] != '\n') continue;
        handle_line(in_ + start, i - start);
        start = i + 1;
    }
    std::memmove(in_, in_ + start, in_len_ - start);
    in_len_ -= start;
    if (in_len_ == sizeof in_) in_len_ = 0; // a runaway line: forget it
}

void StreamServer::serve() {
    if (on_thread_start_ != nullptr) on_thread_start_();
    while (!stop_.load()) {
        if (drop_requested_.load()) {
            close_connection();
            drop_requested_.store(false);
        }
        const mvnet::Socket s = socket_.load();
        mvnet::PollItem items[2] = {{listener_.get()}, {s}};
        if (mvnet::poll(items, kSliceMs) <= 0) continue;
        if (items[0].readable) {
            const mvnet::Socket accepted = mvnet::accept_one(listener_.get(), 0);
            if (accepted != mvnet::kInvalidSocket) {
                close_connection(); // the plugin keeps one link; a new one replaces the old
                socket_.store(accepted);
                connected_.store(true);
                accepted_.fetch_add(1);
            }
        }
        if (s != mvnet::kInvalidSocket && s == socket_.load() && items[1].readable) read_from(s);
    }
}

void StreamServer::stream(const std::vector<std::string> *lines, uint64_t rounds, uint32_t pace_us) {
    std::lock_guard lock(mutex_);
    lines_ = lines;
    rounds_ = rounds;
    pace_us_ = pace_us;
    cancel_.store(false);
    job_ = true;
    cv_.notify_all();
}

void StreamServer::cancel_stream() {
    cancel_.store(true);
    wait_stream();
}

void StreamServer::wait_stream() {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [this] { return !job_; });
}

void StreamServer::drop() {
    drop_requested_.store(true);
    while (drop_requested_.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void StreamServer::send_loop() {
    if (on_thread_start_ != nullptr) on_thread_start_();
    for (;;) {
        const std::vector<std::string> *lines;
        uint64_t rounds;
        uint32_t pace_us;
        mvnet::Socket s;
        {
            std::unique_lock lock(mutex_);
            cv_.wait(lock, [this] { return job_ || stop_.load(); });
            if (stop_.load()) return;
            lines = lines_;
            rounds = rounds_;
            pace_us = pace_us_;
            s = streaming_ = socket_.load();
        }
        // Until the rounds are done, a cancel, a failed send, or the link is no longer current.
        bool going = s != mvnet::kInvalidSocket && !lines->empty();
        for (uint64_t r = 0; going && (rounds == 0 || r < rounds); ++r) {
            for (size_t i = 0; going && i < lines->size(); ++i) {
                const std::string &line = (*lines)[i];
                going = !cancel_.load() && socket_.load() == s && send_all(s, line.data(), line.size());
                if (going && pace_us > 0) std::this_thread::sleep_for(std::chrono::microseconds(pace_us));
            }
        }
        std::lock_guard lock(mutex_);
        if (close_when_streamed_) mvnet::close_socket(streaming_);
        close_when_streamed_ = false;
        streaming_ = mvnet::kInvalidSocket;
        job_ = false;
        cv_.notify_all();
    }
}

} // namespace mvfalloff
