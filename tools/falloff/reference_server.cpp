#include "falloff/reference_server.h"

#include <algorithm>

#include "common/hmac.h"
#include "common/text.h"
#include "common/wire.h"
#include "falloff/handshake.h"

namespace mvfalloff {
namespace {

// A reader this far behind is not reading at all.
constexpr size_t kMaxQueued = 256 * 1024;

std::filesystem::file_time_type file_mtime(const std::string &path) {
    std::error_code ec;
    const auto t = std::filesystem::last_write_time(path, ec);
    return ec ? std::filesystem::file_time_type{} : t;
}

double seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

std::chrono::steady_clock::duration after(double secs) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(secs));
}

} // namespace

struct ReferenceServer::Session {
    Session(size_t id_, mvnet::Socket s, std::string peer_, std::string token)
        : id(id_), socket(s), peer(std::move(peer_)), handshake(std::move(token)) {}
    [[nodiscard]] bool established() const {
        return handshake.state() == ServerHandshake::State::established;
    }

    size_t id;
    mvnet::UniqueSocket socket;
    std::string peer;
    ServerHandshake handshake;
    mvtools::LineFramer framer;
    std::string out; // bytes the socket had no room for yet
    bool closing = false;
    Clock::time_point opened = Clock::now();
    Clock::time_point last_heard = Clock::now();
    Clock::time_point next_update{};
    Clock::time_point next_ping{};
    size_t updates = 0;
    size_t pings_from_plugin = 0;
    size_t pings_sent = 0;
    size_t pings_answered = 0; // an OK is expected for each of ours
    size_t unexpected = 0;
};

ReferenceServer::ReferenceServer(ReferenceConfig config, mvtools::Logger &log)
    : config_(std::move(config)), log_(log) {
    if (!config_.token_source) config_.token_source = [] { return mvtools::random_hex(16); };
    if (config_.rate_hz <= 0) config_.rate_hz = 10;
}

ReferenceServer::~ReferenceServer() {
    stop();
}

bool ReferenceServer::open(std::string *error) {
    listener_.adopt(mvnet::listen_tcp(config_.bind, config_.port, 16, &port_, error));
    if (!listener_.valid()) return false;
    if (!config_.roster_path.empty()) roster_mtime_ = file_mtime(config_.roster_path);
    log_.linef("listening on %s:%u; %zu players in the roster; %zu players in the scenario; %s at %.1f Hz",
               config_.bind.c_str(), port_, config_.roster.players.size(), config_.scenario.tracks.size(),
               config_.scenario.walls.empty() ? "UPDATE2" : "UPDATE3", config_.rate_hz);
    return true;
}

bool ReferenceServer::start(std::string *error) {
    if (!open(error)) return false;
    stop_.store(false);
    thread_ = std::thread([this] { run(stop_); });
    return true;
}

void ReferenceServer::stop() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
}

ReferenceStats ReferenceServer::stats() const {
    return {accepted_.load(),     established_.load(), rejected_.load(),
            updates_sent_.load(), pings_sent_.load(),  pings_answered_.load()};
}

void ReferenceServer::reload_roster_if_changed() {
    if (config_.roster_path.empty()) return;
    const auto mtime = file_mtime(config_.roster_path);
    if (mtime == roster_mtime_) return;
    roster_mtime_ = mtime;
    mvtools::Roster fresh;
    std::string error;
    if (!mvtools::load_roster(config_.roster_path, &fresh, &error)) {
        log_.line("roster reload failed, keeping the old one: " + error);
        return;
    }
    config_.roster = std::move(fresh);
    log_.linef("roster reloaded: %zu players", config_.roster.players.size());
}

void ReferenceServer::accept_new() {
    for (;;) {
        std::string peer;
        mvnet::UniqueSocket s(mvnet::accept_one(listener_.get(), 0, &peer));
        if (!s.valid()) return;
        ++accepted_;
        if (sessions_.size() >= config_.max_sessions) {
            log_.line("refused " + peer + ": too many sessions");
            continue;
        }
        reload_roster_if_changed();
        auto session = std::make_unique<Session>(next_id_++, s.release(), peer, config_.token_source());
        log_.linef("session %zu: connection from %s", session->id, peer.c_str());
        sessions_.push_back(std::move(session));
    }
}

void ReferenceServer::send(Session &s, std::string_view bytes) {
    if (s.closing) return;
    s.out.append(bytes);
    flush(s);
    if (s.out.size() > kMaxQueued) close_session(s, "not reading (output queue full)");
}

void ReferenceServer::flush(Session &s) {
    while (!s.out.empty()) {
        const mvnet::IoResult r = mvnet::send_some(s.socket.get(), s.out.data(), s.out.size(), 0);
        if (r.status == mvnet::Io::timeout) return;
        if (r.status != mvnet::Io::done) {
            s.out.clear();
            close_session(s, "send failed");
            return;
        }
        s.out.erase(0, r.bytes);
    }
}

void ReferenceServer::close_session(Session &s, const std::string &reason) {
    if (s.closing) return;
    s.closing = true;
    if (s.established())
        log_.linef("session %zu: closed (%s) alias=%s after %.1f s: %zu updates, %zu of %zu pings "
                   "answered, %zu pings from the plugin",
                   s.id, reason.c_str(), s.handshake.alias().c_str(), seconds(Clock::now() - s.opened),
                   s.updates, s.pings_answered, s.pings_sent, s.pings_from_plugin);
    else
        log_.linef("session %zu: closed (%s) during the handshake", s.id, reason.c_str());
}

void ReferenceServer::on_established(Session &s) {
    ++established_;
    // The newest link of a player wins: a reconnect replaces the old one.
    for (auto &other : sessions_)
        if (other.get() != &s && !other->closing && other->established() &&
            mvtools::iequals(other->handshake.alias(), s.handshake.alias()))
            close_session(*other, "replaced by session " + std::to_string(s.id));
    if (!clock_started_) {
        clock_started_ = true;
        clock_start_ = Clock::now();
        log_.line("scenario clock started");
    }
    s.next_update = Clock::now();
    s.next_ping = Clock::now() + after(config_.ping_sec);
}

void ReferenceServer::on_line(Session &s, std::string_view line) {
    s.last_heard = Clock::now();
    if (!s.established()) {
        const ServerHandshake::Reply reply = s.handshake.on_line(line, config_.roster);
        if (!reply.log.empty()) log_.linef("session %zu: %s", s.id, reply.log.c_str());
        if (!reply.send.empty()) send(s, reply.send);
        if (reply.close) {
            ++rejected_;
            close_session(s, "handshake rejected");
        } else if (s.established()) {
            on_established(s);
        }
        return;
    }
    if (line == "PING") {
        ++s.pings_from_plugin;
    } else if (line == "OK") {
        ++s.pings_answered;
        ++pings_answered_;
    } else if (++s.unexpected <= 5) {
        log_.linef("session %zu: unexpected line '%s'", s.id, mvtools::printable(line, 80).c_str());
    }
}

void ReferenceServer::on_readable(Session &s) {
    char buf[4096];
    for (;;) {
        const mvnet::IoResult r = mvnet::receive(s.socket.get(), buf, sizeof buf, 0);
        switch (r.status) {
        case mvnet::Io::done:
            s.framer.feed(std::string_view(buf, r.bytes));
            while (auto line = s.framer.next()) {
                if (s.closing) return;
                on_line(s, line->text);
            }
            continue;
        case mvnet::Io::timeout:
            return;
        case mvnet::Io::closed:
            close_session(s, "peer closed");
            return;
        case mvnet::Io::reset:
            close_session(s, "peer reset the connection");
            return;
        case mvnet::Io::failed:
            close_session(s, "receive failed");
            return;
        }
    }
}

void ReferenceServer::tick(Clock::time_point now) {
    const auto period = after(1.0 / config_.rate_hz);
    for (auto &sp : sessions_) {
        Session &s = *sp;
        if (s.closing) continue;
        if (!s.established()) {
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
            send(s, mvtools::update_line(config_.scenario, s.handshake.alias(), t));
            ++s.updates;
            ++updates_sent_;
            // Keep the cadence; after a stall, skip rather than burst.
            s.next_update += period;
            if (s.next_update < now) s.next_update = now + period;
        }
        if (config_.ping_sec > 0 && now >= s.next_ping) {
            send(s, "PING\n");
            ++s.pings_sent;
            ++pings_sent_;
            s.next_ping = now + after(config_.ping_sec);
        }
    }
}

int ReferenceServer::next_wake_ms(Clock::time_point now) const {
    // The next update of any session, at most 100 ms away.
    int timeout_ms = 100;
    for (const auto &s : sessions_)
        if (s->established()) {
            const auto wait =
                std::chrono::duration_cast<std::chrono::milliseconds>(s->next_update - now).count();
            timeout_ms = std::clamp(static_cast<int>(wait), 0, timeout_ms);
        }
    return timeout_ms;
}

void ReferenceServer::run(const std::atomic<bool> &stop) {
    std::vector<mvnet::PollItem> items;
    while (!stop.load()) {
        items.assign(1, {listener_.get()});
        for (const auto &s : sessions_)
            items.push_back({s->socket.get(), !s->out.empty()});
        if (mvnet::poll(items, next_wake_ms(Clock::now())) < 0) {
            log_.line("waiting on the sockets failed");
            return;
        }
        for (size_t i = 1; i < items.size(); ++i) {
            Session &s = *sessions_[i - 1];
            if (items[i].writable) flush(s);
            if (items[i].readable) on_readable(s);
        }
        if (items[0].readable) accept_new();
        tick(Clock::now());
        std::erase_if(sessions_, [this](const std::unique_ptr<Session> &s) {
            if (s->closing) flush(*s); // a refusal's reason, if there is room for it
            return s->closing;
        });
    }
    for (auto &s : sessions_)
        close_session(*s, "server stopping");
    sessions_.clear();
}

} // namespace mvfalloff
