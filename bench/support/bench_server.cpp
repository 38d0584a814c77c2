#include "bench_server.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "loopback.h"
#include "probes.h"

namespace mvbench {

BenchServer::BenchServer() {
    listener_ = listen_loopback(16, &port_);
    server_thread_ = std::thread([this] { serve(); });
    sender_thread_ = std::thread([this] { send_loop(); });
}

BenchServer::~BenchServer() {
    stop_.store(true);
    cancel_.store(true);
    cv_.notify_all();
    sender_thread_.join();
    server_thread_.join();
    close_connection();
    close(listener_);
}

bool BenchServer::send_all(int fd, const char *data, size_t len) {
    while (len > 0) {
        const ssize_t n = ::send(fd, data, len, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        len -= static_cast<size_t>(n);
        bytes_sent_.fetch_add(static_cast<uint64_t>(n));
    }
    return true;
}

void BenchServer::close_connection() {
    const int fd = fd_.exchange(-1);
    connected_.store(false);
    if (fd >= 0) close(fd);
    phase_ = Phase::hello;
    in_len_ = 0;
}

void BenchServer::handle_line(const char *line, size_t len) {
    lines_in_.fetch_add(1);
    const int fd = fd_.load();
    switch (phase_) {
    case Phase::hello:
        if (len >= 7 && std::memcmp(line, "HELLO2 ", 7) == 0) {
            hellos_.fetch_add(1);
            if (mode_.load() == Mode::mute) {
                phase_ = Phase::muted;
            } else {
                static constexpr char kChallenge[] = "CHALLENGE bench-token\n";
                send_all(fd, kChallenge, sizeof kChallenge - 1);
                phase_ = Phase::proof;
            }
        }
        break;
    case Phase::proof:
        if (len >= 6 && std::memcmp(line, "PROOF ", 6) == 0) {
            send_all(fd, "OK\n", 3);
            phase_ = Phase::established;
            established_.fetch_add(1);
        }
        break;
    case Phase::established:
    case Phase::muted:
        break;
    }
}

void BenchServer::serve() {
    set_thread_role(Role::bench);
    while (!stop_.load()) {
        if (drop_requested_.exchange(false)) close_connection();
        const int fd = fd_.load();
        pollfd fds[2] = {{listener_, POLLIN, 0}, {fd, POLLIN, 0}};
        if (::poll(fds, fd >= 0 ? 2 : 1, 20) <= 0) continue;
        if (fds[0].revents & POLLIN) {
            const int conn = accept(listener_, nullptr, nullptr);
            if (conn >= 0) {
                // A plugin that stops reading must not hang the streaming thread.
                const timeval second{1, 0};
                setsockopt(conn, SOL_SOCKET, SO_SNDTIMEO, &second, sizeof second);
                close_connection(); // the plugin keeps one link; a new one replaces the old
                fd_.store(conn);
                connected_.store(true);
                accepted_.fetch_add(1);
            }
        }
        if (fd >= 0 && fd == fd_.load() && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            const ssize_t n = ::recv(fd, in_ + in_len_, sizeof in_ - in_len_, 0);
            if (n <= 0) {
                close_connection();
                continue;
            }
            in_len_ += static_cast<size_t>(n);
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
    }
}

void BenchServer::stream(const std::vector<std::string> *lines, uint64_t rounds, uint32_t pace_us) {
    std::lock_guard lock(mutex_);
    lines_ = lines;
    rounds_ = rounds;
    pace_us_ = pace_us;
    cancel_.store(false);
    job_ = true;
    cv_.notify_all();
}

void BenchServer::cancel_stream() {
    cancel_.store(true);
    wait_stream();
}

void BenchServer::wait_stream() {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [this] { return !job_; });
}

void BenchServer::drop() {
    drop_requested_.store(true);
    while (drop_requested_.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void BenchServer::send_loop() {
    set_thread_role(Role::bench);
    for (;;) {
        const std::vector<std::string> *lines;
        uint64_t rounds;
        uint32_t pace_us;
        {
            std::unique_lock lock(mutex_);
            cv_.wait(lock, [this] { return job_ || stop_.load(); });
            if (stop_.load()) return;
            lines = lines_;
            rounds = rounds_;
            pace_us = pace_us_;
        }
        const int fd = fd_.load();
        for (uint64_t r = 0; fd >= 0 && (rounds == 0 || r < rounds) && !cancel_.load(); ++r) {
            for (const std::string &line : *lines) {
                if (cancel_.load() || !send_all(fd, line.data(), line.size())) break;
                if (pace_us > 0) std::this_thread::sleep_for(std::chrono::microseconds(pace_us));
            }
        }
        std::lock_guard lock(mutex_);
        job_ = false;
        cv_.notify_all();
    }
}

} // namespace mvbench
