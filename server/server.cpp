#include "server.h"

#include <algorithm>
#include <charconv>
#include <csignal>
#include <ctime>
#include <unordered_map>
#include <vector>

#include "control.h"
#include "crypto.h"
#include "handshake.h"
#include "log.h"
#include "net/asio.h"
#include "net/connection.h"
#include "rate_limit.h"
#include "scenario_feeder.h"
#include "text.h"
#include "tick_pool.h"
#include "tick_stats.h"
#include "update_format.h"

namespace mvserver {
namespace {

using asio::ip::tcp;

constexpr Connection::Limits kPluginLimits{1024, 256 * 1024};
constexpr Connection::Limits kControlLimits{kMaxControlLine, 1024 * 1024};
constexpr auto kReportEvery = std::chrono::seconds(10);

std::chrono::steady_clock::duration after(double secs) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(secs));
}

double ms_between(TimePoint a, TimePoint b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

// The CPU time of this thread: a tick's wall time on a busy machine includes
// time it waited for a core; this is what it used of one.
double thread_cpu_ms() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

std::string fixed3(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", v);
    return buf;
}

// A plugin's link: the connection and where its handshake and updates stand.
struct PluginLink : Connection {
    PluginLink(uint64_t id, tcp::socket s, const Address &peer, Host &host, std::string token, TimePoint now)
        : Connection(id, std::move(s), peer, host, kPluginLimits), handshake(std::move(token), peer),
          opened(now), last_heard(now) {}

    Handshake handshake;
    bool established = false;
    uint32_t slot = 0;
    TimePoint opened, last_heard, next_ping{};
    bool sent_any = false;
    Table last; // the table last sent
    uint64_t updates = 0;
};

// One worker's part of a tick: its own scratch, and what it leaves for the
// event loop's thread once every worker has finished. Apart from the links of
// its share, the only memory a worker writes.
struct alignas(64) TickShare {
    TableBuilder::Scratch scratch;
    Table table;
    std::vector<PluginLink *> changed;
    std::vector<std::pair<PluginLink *, Connection::Direct::Left>> left; // to flush or close
    uint64_t bytes = 0;                                                  // sent straight to the kernel
    double send_ms = 0, cpu_ms = 0;
};

struct ControlLink : Connection {
    using Connection::Connection;
    uint64_t lines = 0;
    uint64_t refused = 0;
};

} // namespace

struct Server::Impl final : Connection::Host {
    Impl(ServerConfig c, World w, Log &l)
        : config(std::move(c)), world(std::move(w)), log(l), tables(config.rules, config.index),
          pool(config.threads), shares(pool.size()), plugin_acceptor(io), control_acceptor(io),
          tick_timer(io), stop_timer(io), accept_retry(io), signals(io), rate(config.handshakes_per_minute) {}

    // ---- listening ----
    bool listen(tcp::acceptor &a, const std::string &bind, uint16_t port, std::string *error);
    void accept_plugin();
    void accept_control();
    void accept_failed(const std::error_code &ec, bool control);

    // ---- connections ----
    void on_line(Connection &c, std::string_view line, bool too_long) override;
    void on_closed(Connection &c, std::string_view reason) override;
    void on_written(Connection &c, size_t bytes) override;
    void plugin_line(PluginLink &l, std::string_view line, bool too_long);
    void control_line(ControlLink &c, std::string_view line, bool too_long);
    void established(PluginLink &l, uint32_t slot);
    void close_player_link(uint32_t slot, const char *reason);
    void refuse(PluginLink &l, const char *reason);
    std::string link_fields(const PluginLink &l) const;

    // ---- the tick ----
    void schedule_tick(TimePoint at);
    void tick();
    void tick_share(unsigned worker);
    void housekeeping(TimePoint now);
    void report(TimePoint now);
    void shutdown(const char *reason);

    ServerConfig config;
    World world;
    Log &log;
    TableBuilder tables;
    TickPool pool;
    std::vector<TickShare> shares; // one per worker
    std::optional<ScenarioFeeder> feeder;

    asio::io_context io{1};
    tcp::acceptor plugin_acceptor;
    tcp::acceptor control_acceptor;
    asio::steady_timer tick_timer;
    asio::steady_timer stop_timer;
    asio::steady_timer accept_retry;
    asio::signal_set signals;
    uint16_t port = 0, control_port = 0;
    bool stopping = false;

    RateLimit rate;
    uint64_t next_id = 1;
    std::unordered_map<uint64_t, std::shared_ptr<PluginLink>> links;
    std::unordered_map<uint64_t, std::shared_ptr<ControlLink>> controls;
    std::vector<std::shared_ptr<Connection>> closed; // freed after the handler that closed them
    std::vector<PluginLink *> link_of_slot;          // the established link of each player

    uint64_t links_established = 0, updates = 0, bytes = 0, refused_links = 0;
    uint64_t window_updates = 0, window_bytes = 0;
    TickStats tick_stats, send_stats, tick_cpu_stats, thread_cpu_stats;
    TimePoint next_tick{}, next_report{};
};

// ---- listening --------------------------------------------------------------------

bool Server::Impl::listen(tcp::acceptor &a, const std::string &bind, uint16_t p, std::string *error) {
    std::error_code ec;
    const asio::ip::address address = asio::ip::make_address(bind, ec);
    if (ec) {
        *error = "not an IP address: " + sanitize(bind);
        return false;
    }
    const tcp::endpoint endpoint(address, p);
    a.open(endpoint.protocol(), ec);
    if (!ec) a.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec) a.bind(endpoint, ec);
    if (!ec) a.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        *error = "cannot listen on " + bind + ":" + std::to_string(p) + ": " + ec.message();
        return false;
    }
    return true;
}

void Server::Impl::accept_failed(const std::error_code &ec, bool control) {
    // Out of descriptors, most likely: try again shortly rather than spin.
    log.event("accept_failed", std::string(control ? "listener=control" : "listener=plugin") +
                                   " error=" + sanitize(ec.message(), 80));
    accept_retry.expires_after(std::chrono::milliseconds(100));
    accept_retry.async_wait([this, control](std::error_code wait_ec) {
        if (wait_ec || stopping) return;
        control ? accept_control() : accept_plugin();
    });
}

void Server::Impl::accept_plugin() {
    plugin_acceptor.async_accept([this](std::error_code ec, tcp::socket s) {
        if (stopping) return;
        if (ec) {
            accept_failed(ec, false);
            return;
        }
        const TimePoint now = Clock::now();
        std::error_code peer_ec;
        const Address peer = to_address(s.remote_endpoint(peer_ec).address());
        s.set_option(tcp::no_delay(true), peer_ec);
        auto link = std::make_shared<PluginLink>(next_id++, std::move(s), peer, *this, std::string(), now);
        links.emplace(link->id(), link);
        log.event("link_open", "id=" + std::to_string(link->id()) + " addr=" + to_string(peer));
        // Refused before any work: no token, no lookup.
        if (!rate.allow(peer, now)) {
            refuse(*link, "too_many_attempts");
        } else if (links.size() > config.max_links) {
            refuse(*link, "too_many_links");
        } else if (std::string token = random_token(16); token.empty()) {
            refuse(*link, "no_randomness"); // never a guessable challenge
        } else {
            link->handshake = Handshake(std::move(token), peer);
            link->start();
        }
        accept_plugin();
    });
}

void Server::Impl::accept_control() {
    control_acceptor.async_accept([this](std::error_code ec, tcp::socket s) {
        if (stopping) return;
        if (ec) {
            accept_failed(ec, true);
            return;
        }
        std::error_code peer_ec;
        const Address peer = to_address(s.remote_endpoint(peer_ec).address());
        s.set_option(tcp::no_delay(true), peer_ec);
        auto c = std::make_shared<ControlLink>(next_id++, std::move(s), peer, *this, kControlLimits);
        controls.emplace(c->id(), c);
        log.event("control_open", "id=" + std::to_string(c->id()) + " addr=" + to_string(peer));
        c->start();
        accept_control();
    });
}

// ---- connections --------------------------------------------------------------------

std::string Server::Impl::link_fields(const PluginLink &l) const {
    std::string f = "id=" + std::to_string(l.id()) + " addr=" + to_string(l.peer());
    if (!l.handshake.alias().empty()) f += " alias=" + sanitize(l.handshake.alias());
    return f;
}

void Server::Impl::refuse(PluginLink &l, const char *reason) {
    ++refused_links;
    log.event("link_refused", link_fields(l) + " reason=" + reason);
    l.out() += "ERR ";
    l.out() += reason;
    l.out() += '\n';
    l.close_after_flush(reason);
}

void Server::Impl::on_line(Connection &c, std::string_view line, bool too_long) {
    if (const auto it = links.find(c.id()); it != links.end() && it->second.get() == &c)
        plugin_line(*it->second, line, too_long);
    else
        control_line(static_cast<ControlLink &>(c), line, too_long);
}

void Server::Impl::plugin_line(PluginLink &l, std::string_view line, bool too_long) {
    const TimePoint now = Clock::now();
    l.last_heard = now;
    if (l.established) return; // PING and OK need no answer; anything else is ignored
    if (line.ends_with('\r')) line.remove_suffix(1);
    const Handshake::Outcome o = l.handshake.on_line(too_long ? std::string_view{} : line, world, config.key);
    if (o.refused != nullptr) {
        refuse(l, o.refused);
        return;
    }
    l.out() += o.send;
    l.flush();
    if (l.handshake.step() == Handshake::Step::established) established(l, o.slot);
}

void Server::Impl::established(PluginLink &l, uint32_t slot) {
    const TimePoint now = Clock::now();
    if (link_of_slot.size() < world.slots()) link_of_slot.resize(world.slots(), nullptr);
    if (PluginLink *older = link_of_slot[slot]) {
        log.event("link_replaced", "id=" + std::to_string(older->id()) + " by=" + std::to_string(l.id()) +
                                       " alias=" + sanitize(world.player(slot).alias));
        older->close("replaced");
    }
    l.established = true;
    l.slot = slot;
    l.next_ping = now + after(config.ping_sec);
    link_of_slot[slot] = &l;
    ++links_established;
    log.event("link_established", link_fields(l));
    if (feeder) feeder->start_clock(now);
}

void Server::Impl::close_player_link(uint32_t slot, const char *reason) {
    if (slot < link_of_slot.size() && link_of_slot[slot] != nullptr) link_of_slot[slot]->close(reason);
}

void Server::Impl::control_line(ControlLink &c, std::string_view line, bool too_long) {
    ++c.lines;
    if (line.ends_with('\r')) line.remove_suffix(1);
    ControlResult r;
    if (too_long)
        r.refused = "too_long";
    else
        r = execute_control(world, line, Clock::now());
    if (r.refused != nullptr) {
        ++c.refused;
        append_refusal(c.out(), r.refused, line);
    } else if (r.answer == ControlResult::Answer::ok) {
        c.out() += "OK\n";
    } else if (r.answer == ControlResult::Answer::stats) {
        c.out() += "STATS players=" + std::to_string(world.players()) +
                   " links=" + std::to_string(links_established) + " updates=" + std::to_string(updates) +
                   " bytes=" + std::to_string(bytes) + " refused=" + std::to_string(refused_links) + "\n";
    }
    if (r.close_slot) close_player_link(*r.close_slot, r.close_reason);
    if (!c.out().empty()) c.flush();
}

void Server::Impl::on_written(Connection &c, size_t n) {
    if (links.contains(c.id())) {
        bytes += n;
        window_bytes += n;
    }
}

void Server::Impl::on_closed(Connection &c, std::string_view reason) {
    if (const auto it = links.find(c.id()); it != links.end() && it->second.get() == &c) {
        PluginLink &l = *it->second;
        if (l.established) {
            if (link_of_slot[l.slot] == &l) link_of_slot[l.slot] = nullptr;
            --links_established;
        }
        log.event("link_closed", link_fields(l) + " reason=" + std::string(reason) +
                                     " updates=" + std::to_string(l.updates));
        closed.push_back(it->second);
        links.erase(it);
    } else if (const auto ct = controls.find(c.id()); ct != controls.end()) {
        log.event("control_closed", "id=" + std::to_string(c.id()) + " addr=" + to_string(c.peer()) +
                                        " reason=" + std::string(reason) +
                                        " lines=" + std::to_string(ct->second->lines) +
                                        " refused=" + std::to_string(ct->second->refused));
        closed.push_back(ct->second);
        controls.erase(ct);
    }
    // Freed once the handler that closed it has returned.
    asio::post(io, [this] { closed.clear(); });
}

// ---- the tick -----------------------------------------------------------------------

void Server::Impl::schedule_tick(TimePoint at) {
    next_tick = at;
    tick_timer.expires_at(at);
    tick_timer.async_wait([this](std::error_code ec) {
        if (!ec && !stopping) tick();
    });
}

void Server::Impl::tick() {
    const TimePoint start = Clock::now();
    const double cpu_start = thread_cpu_ms();
    if (feeder) feeder->feed(world, start);
    world.refresh(start, config.stale_sec);
    tables.prepare(world);
    // The world, the grid and link_of_slot hold still until every worker is
    // done: control lines and handshakes wait for this handler to return.
    auto share = [this](unsigned w) { tick_share(w); };
    pool.run(share);
    // What needs the event loop: a rest to write on, a link to close. A link
    // that fails here is kept until this handler has returned.
    uint64_t changed = 0, sent = 0;
    double send_ms = 0, other_cpu = 0, busiest_other = 0;
    for (unsigned w = 0; w < shares.size(); ++w) {
        TickShare &s = shares[w];
        changed += s.changed.size();
        sent += s.bytes;
        send_ms = std::max(send_ms, s.send_ms);
        if (w > 0) {
            other_cpu += s.cpu_ms;
            busiest_other = std::max(busiest_other, s.cpu_ms);
        }
        for (const auto &[l, left] : s.left) {
            if (left == Connection::Direct::Left::failed)
                l->close("write_failed");
            else
                l->flush();
        }
    }
    updates += changed;
    window_updates += changed;
    bytes += sent;
    window_bytes += sent;
    housekeeping(start);
    const TimePoint end = Clock::now();
    const double own_cpu = thread_cpu_ms() - cpu_start;
    tick_stats.add(ms_between(start, end));
    send_stats.add(send_ms);
    tick_cpu_stats.add(own_cpu + other_cpu);
    thread_cpu_stats.add(std::max(own_cpu, busiest_other));
    if (end >= next_report) report(end);
    // Keep the cadence; after a stall, skip rather than burst.
    const auto period = after(1.0 / config.rate_hz);
    TimePoint at = next_tick + period;
    if (at < end) at = end + period;
    schedule_tick(at);
}

// A worker's contiguous share of the slots: each listener's table, compared
// with the last one sent, the update line, then one direct send per changed
// link. Everything it writes is its own TickShare or a link of its share.
void Server::Impl::tick_share(unsigned w) {
    TickShare &s = shares[w];
    const double cpu_start = w > 0 ? thread_cpu_ms() : 0;
    s.changed.clear();
    s.left.clear();
    s.bytes = 0;
    const auto [first, last] = share_of(static_cast<uint32_t>(link_of_slot.size()), w, pool.size());
    for (uint32_t slot = first; slot < last; ++slot) {
        PluginLink *l = link_of_slot[slot];
        if (l == nullptr) continue;
        tables.build(world, slot, s.table, s.scratch);
        if (l->sent_any && s.table == l->last) continue;
        append_update(l->out(), s.table, world);
        l->sent_any = true;
        std::swap(l->last, s.table);
        ++l->updates;
        s.changed.push_back(l);
    }
    const TimePoint sending = Clock::now();
    for (PluginLink *l : s.changed) {
        const Connection::Direct d = l->send_direct();
        s.bytes += d.bytes;
        if (d.left != Connection::Direct::Left::nothing) s.left.emplace_back(l, d.left);
    }
    s.send_ms = ms_between(sending, Clock::now());
    if (w > 0) s.cpu_ms = thread_cpu_ms() - cpu_start;
}

void Server::Impl::housekeeping(TimePoint now) {
    const auto handshake_limit = after(config.handshake_timeout_sec);
    const auto idle_limit = after(config.idle_timeout_sec);
    for (auto it = links.begin(); it != links.end();) {
        PluginLink &l = *(it++)->second; // closing erases the entry
        if (!l.established) {
            if (now - l.opened > handshake_limit) l.close("handshake_timeout");
            continue;
        }
        if (config.idle_timeout_sec > 0 && now - l.last_heard > idle_limit) {
            l.close("idle_timeout");
            continue;
        }
        if (config.ping_sec > 0 && now >= l.next_ping) {
            l.out() += "PING\n";
            l.next_ping = now + after(config.ping_sec);
            l.flush();
        }
    }
}

void Server::Impl::report(TimePoint now) {
    // The whole tick, its sends (the slowest worker's), the CPU time it used
    // on all threads and on the busiest one.
    const TickStats::Summary s = tick_stats.take(), send = send_stats.take(), cpu = tick_cpu_stats.take(),
                             busiest = thread_cpu_stats.take();
    log.event("load",
              "ticks=" + std::to_string(s.ticks) + " tick_p50_ms=" + fixed3(s.p50) +
                  " tick_p99_ms=" + fixed3(s.p99) + " tick_max_ms=" + fixed3(s.max) +
                  " send_p50_ms=" + fixed3(send.p50) + " send_p99_ms=" + fixed3(send.p99) +
                  " tick_cpu_p50_ms=" + fixed3(cpu.p50) + " tick_cpu_p99_ms=" + fixed3(cpu.p99) +
                  " thread_cpu_p50_ms=" + fixed3(busiest.p50) + " thread_cpu_p99_ms=" + fixed3(busiest.p99) +
                  " players=" + std::to_string(world.players()) +
                  " links=" + std::to_string(links_established) +
                  " updates=" + std::to_string(window_updates) + " bytes=" + std::to_string(window_bytes));
    window_updates = window_bytes = 0;
    next_report = now + kReportEvery;
    rate.prune(now);
}

void Server::Impl::shutdown(const char *reason) {
    if (stopping) return;
    stopping = true;
    log.event("stop", std::string("reason=") + reason + " links=" + std::to_string(links_established) +
                          " updates=" + std::to_string(updates) + " bytes=" + std::to_string(bytes) +
                          " refused=" + std::to_string(refused_links));
    std::error_code ignored;
    plugin_acceptor.close(ignored);
    control_acceptor.close(ignored);
    tick_timer.cancel();
    stop_timer.cancel();
    accept_retry.cancel();
    signals.cancel(ignored);
    while (!links.empty())
        links.begin()->second->close("server_stopping");
    while (!controls.empty())
        controls.begin()->second->close("server_stopping");
}

// ---- Server -------------------------------------------------------------------------

Server::Server(ServerConfig config, World world, Log &log)
    : impl_(std::make_unique<Impl>(std::move(config), std::move(world), log)) {}

Server::~Server() = default;

uint16_t Server::port() const {
    return impl_->port;
}

uint16_t Server::control_port() const {
    return impl_->control_port;
}

bool Server::open(std::string *error) {
    Impl &m = *impl_;
    if (!m.listen(m.plugin_acceptor, m.config.bind, m.config.port, error)) return false;
    m.port = m.plugin_acceptor.local_endpoint().port();
    if (m.config.control_port) {
        if (!m.listen(m.control_acceptor, m.config.control_bind, *m.config.control_port, error)) return false;
        m.control_port = m.control_acceptor.local_endpoint().port();
    }
    const TimePoint now = Clock::now();
    if (m.config.scenario) m.feeder.emplace(std::move(*m.config.scenario), m.world, now);
    m.config.scenario.reset();
    std::string mode = m.config.control_port ? "control" : "";
    if (m.feeder) mode += mode.empty() ? "scenario" : "+scenario";
    const Rules &r = m.config.rules;
    m.log.event("start",
                "mode=" + mode + " bind=" + m.config.bind + " port=" + std::to_string(m.port) +
                    (m.config.control_port ? " control_bind=" + m.config.control_bind +
                                                 " control_port=" + std::to_string(m.control_port)
                                           : std::string()) +
                    " rate_hz=" + fixed3(m.config.rate_hz) + " model=" + model_name(r.model) +
                    " near=" + fixed3(r.near_m) + " far=" + fixed3(r.far_m) +
                    " rolloff=" + fixed3(r.rolloff) + " stale_sec=" + fixed3(m.config.stale_sec) +
                    " index=" + (m.config.index == IndexKind::grid ? "grid" : "naive") +
                    " threads=" + std::to_string(m.pool.size()) + " ping_sec=" + fixed3(m.config.ping_sec) +
                    " idle_timeout_sec=" + fixed3(m.config.idle_timeout_sec) +
                    " handshakes_per_minute=" + std::to_string(m.config.handshakes_per_minute) +
                    " max_links=" + std::to_string(m.config.max_links) +
                    " key_source=" + m.config.key_source + " players=" + std::to_string(m.world.players()) +
                    " walls=" + std::to_string(m.world.walls().size()));
    return true;
}

void Server::run() {
    Impl &m = *impl_;
    const TimePoint now = Clock::now();
    m.next_report = now + kReportEvery;
    m.accept_plugin();
    if (m.control_acceptor.is_open()) m.accept_control();
    m.schedule_tick(now);
    if (m.config.handle_signals) {
        m.signals.add(SIGTERM);
        m.signals.add(SIGINT);
        m.signals.async_wait([&m](std::error_code ec, int sig) {
            if (!ec) m.shutdown(sig == SIGTERM ? "sigterm" : "sigint");
        });
    }
    if (m.config.seconds > 0) {
        m.stop_timer.expires_after(after(m.config.seconds));
        m.stop_timer.async_wait([&m](std::error_code ec) {
            if (!ec) m.shutdown("seconds");
        });
    }
    m.io.run();
    m.pool.stop();
}

void Server::stop() {
    asio::post(impl_->io, [this] { impl_->shutdown("stopped"); });
}

} // namespace mvserver
