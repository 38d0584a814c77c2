#include "server.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include "common/hmac.h"
#include "common/net.h"
#include "common/text.h"
#include "common/wire.h"

namespace mvtools {
namespace {

// A reader this far behind is not reading at all.
constexpr size_t kMaxQueued = 256 * 1024;

int64_t file_mtime(const std::string &path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return 0;
    return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

double seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

} // namespace

struct FalloffServer::Session {
    Session(size_t id_, int fd_, std::string peer_, std::string token)
        : id(id_), fd(fd_), peer(std::move(peer_)), handshake(std::move(token)) {}
    size_t id;
    int fd;
    std::string peer;
    ServerHandshake handshake;
    LineFramer framer;
    std::string out;
    bool closing = false;
    Clock::time_point opened = Clock::now();
    Clock::time_point last_heard = Clock::now();
    Clock::time_point next_update{};
    Clock::time_point next_ping{};
    size_t updates = 0;
    size_t pings_from_plugin = 0;
    size_t pings_answered = 0;
    size_t unexpected = 0;
};

FalloffServer::FalloffServer(ServerConfig config, Logger &log) : config_(std::move(config)), log_(log) {
    if (!config_.token_source) config_.token_source = [] { return random_hex(16); };
    if (config_.rate_hz <= 0) config_.rate_hz = 10;
}

FalloffServer::~FalloffServer() {
    for (auto &s : sessions_)
        net::close_fd(s->fd);
    net::close_fd(listener_);
}

bool FalloffServer::open(std::string *error) {
    listener_ = net::listen_tcp(config_.bind, config_.port, &port_, error);
    if (listener_ < 0) return false;
    net::set_nonblocking(listener_);
    if (!config_.roster_path.empty()) roster_mtime_ = file_mtime(config_.roster_path);
    log_.linef(
        "listening on %s:%u; %zu players in the roster; %zu players in the scenario; UPDATE2 at %.1f Hz",
        config_.bind.c_str(), port_, config_.roster.players.size(), config_.scenario.tracks.size(),
        config_.rate_hz);
    return true;
}

ServerStats FalloffServer::stats() const {
    return {accepted_.load(), established_.load(), rejected_.load(), updates_sent_.load(),
            pings_answered_.load()};
}

void FalloffServer::reload_roster_if_changed() {
    if (config_.roster_path.empty()) return;
    const int64_t mtime = file_mtime(config_.roster_path);
    if (mtime == roster_mtime_) return;
    roster_mtime_ = mtime;
    Roster fresh;
    std::string error;
    if (!load_roster(config_.roster_path, &fresh, &error)) {
        log_.line("roster reload failed, keeping the old one: " + error);
        return;
    }
    config_.roster = std::move(fresh);
    log_.linef("roster reloaded: %zu players", config_.roster.players.size());
}

void FalloffServer::accept_new() {
    for (;;) {
        std::string peer;
        const int fd = net::accept_client(listener_, &peer);
        if (fd < 0) return;
        ++accepted_;
        if (sessions_.size() >= config_.max_sessions) {
            log_.line("refused " + peer + ": too many sessions");
            net::close_fd(fd);
            continue;
        }
        net::set_nonblocking(fd);
        reload_roster_if_changed();
        auto s = std::make_unique<Session>(next_id_++, fd, peer, config_.token_source());
        log_.linef("session %zu: connection from %s", s->id, peer.c_str());
        sessions_.push_back(std::move(s));
    }
}

void FalloffServer::send(Session &s, std::string_view bytes) {
    if (s.closing) return;
    s.out.append(bytes);
    flush(s);
    if (s.out.size() > kMaxQueued) close_session(s, "not reading (output queue full)");
}

void FalloffServer::flush(Session &s) {
    while (!s.out.empty()) {
        const ssize_t n = ::send(s.fd, s.out.data(), s.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            s.out.erase(0, static_cast<size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) close_session(s, "send failed");
            return;
        }
    }
}

void FalloffServer::close_session(Session &s, const std::string &reason) {
    if (s.closing) return;
    s.closing = true;
    if (s.handshake.state() == ServerHandshake::State::established)
        log_.linef("session %zu: closed (%s) alias=%s after %.1f s: %zu updates, %zu pings answered, "
                   "%zu pings from the plugin",
                   s.id, reason.c_str(), s.handshake.alias().c_str(), seconds(Clock::now() - s.opened),
                   s.updates, s.pings_answered, s.pings_from_plugin);
    else
        log_.linef("session %zu: closed (%s) during the handshake", s.id, reason.c_str());
}

void FalloffServer::on_line(Session &s, std::string_view line) {
    s.last_heard = Clock::now();
    if (s.handshake.state() != ServerHandshake::State::established) {
        const ServerHandshake::Step step = s.handshake.on_line(line, config_.roster);
        if (!step.log.empty()) log_.linef("session %zu: %s", s.id, step.log.c_str());
        if (!step.send.empty()) send(s, step.send);
        if (step.close) {
            ++rejected_;
            flush(s);
            close_session(s, "handshake rejected");
            return;
        }
        if (s.handshake.state() == ServerHandshake::State::established) {
            ++established_;
            // The newest link of a player wins: a reconnect replaces the old one.
            for (auto &other : sessions_)
                if (other.get() != &s && !other->closing &&
                    other->handshake.state() == ServerHandshake::State::established &&
                    iequals(other->handshake.alias(), s.handshake.alias()))
                    close_session(*other, "replaced by session " + std::to_string(s.id));
            if (!clock_started_) {
                clock_started_ = true;
                clock_start_ = Clock::now();
                log_.line("scenario clock started");
            }
            s.next_update = Clock::now();
            s.next_ping = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(config_.ping_sec));
        }
        return;
    }
    if (line == "PING") {
        ++s.pings_from_plugin;
    } else if (line == "OK") {
        ++s.pings_answered;
        ++pings_answered_;
    } else if (++s.unexpected <= 5) {
        log_.linef("session %zu: unexpected line '%s'", s.id, printable(line, 80).c_str());
    }
}

void FalloffServer::on_readable(Session &s) {
    char buf[4096];
    for (;;) {
        const ssize_t n = ::recv(s.fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            s.framer.feed(std::string_view(buf, static_cast<size_t>(n)));
            while (auto line = s.framer.next()) {
                if (s.closing) return;
                on_line(s, line->text);
            }
            continue;
        }
        if (n == 0) {
            close_session(s, "peer closed");
        } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            close_session(s, std::string("receive failed: ") + std::strerror(errno));
        }
        return;
    }
}

void FalloffServer::tick(Clock::time_point now) {
    const auto period =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / config_.rate_hz));
    for (auto &sp : sessions_) {
        Session &s = *sp;
        if (s.closing) continue;
        if (s.handshake.state() != ServerHandshake::State::established) {
            if (seconds(now - s.opened) > config_.handshake_timeout_sec)
                close_session(s, "handshake timeout");
            continue;
        }
        if (config_.idle_timeout_sec > 0 && seconds(now - s.last_heard) > config_.idle_timeout_sec) {
            close_session(s, "idle timeout: nothing heard from the plugin");
            continue;
        }
        if (now >= s.next_update) {
            const double t = seconds(now - clock_start_);
            send(s, format_update2(entries_for(config_.scenario, s.handshake.alias(), t)));
            ++s.updates;
            ++updates_sent_;
            // Keep the cadence; after a stall, skip rather than burst.
            s.next_update += period;
            if (s.next_update < now) s.next_update = now + period;
        }
        if (config_.ping_sec > 0 && now >= s.next_ping) {
            send(s, "PING\n");
            s.next_ping = now + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(config_.ping_sec));
        }
    }
}

void FalloffServer::run(const std::atomic<bool> &stop) {
    std::vector<pollfd> fds;
    while (!stop.load()) {
        fds.clear();
        fds.push_back({listener_, POLLIN, 0});
        for (auto &s : sessions_)
            fds.push_back({s->fd, static_cast<short>(POLLIN | (s->out.empty() ? 0 : POLLOUT)), 0});
        // Wake for the next update of any session, at most 100 ms later.
        int timeout_ms = 100;
        const auto now = Clock::now();
        for (auto &s : sessions_)
            if (s->handshake.state() == ServerHandshake::State::established) {
                const auto wait =
                    std::chrono::duration_cast<std::chrono::milliseconds>(s->next_update - now).count();
                timeout_ms = std::clamp(static_cast<int>(wait), 0, timeout_ms);
            }
        if (poll(fds.data(), fds.size(), timeout_ms) < 0 && errno != EINTR) {
            log_.line(std::string("poll failed: ") + std::strerror(errno));
            return;
        }
        for (size_t i = 1; i < fds.size(); ++i) {
            Session &s = *sessions_[i - 1];
            if (fds[i].revents & POLLOUT) flush(s);
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) on_readable(s);
        }
        if (fds[0].revents & POLLIN) accept_new();
        tick(Clock::now());
        for (auto it = sessions_.begin(); it != sessions_.end();) {
            if ((*it)->closing) {
                flush(**it);
                net::close_fd((*it)->fd);
                it = sessions_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto &s : sessions_)
        close_session(*s, "server stopping");
}

} // namespace mvtools
