#include "falloff/script_server.h"

#include <algorithm>
#include <optional>
#include <string_view>

#include "common/text.h"

namespace mvfalloff {
namespace {

// Every blocking wait of the server thread is cut into slices this long, so a
// stop is noticed promptly.
constexpr int kSliceMs = 20;

// The 64 lowercase hex digits of "PROOF <proof>"; nothing for any other line.
std::optional<std::string_view> parse_proof(std::string_view line) {
    constexpr std::string_view kProof = "PROOF ";
    if (!line.starts_with(kProof)) return std::nullopt;
    const std::string_view proof = line.substr(kProof.size());
    if (proof.size() != 64 || !mvtools::is_lower_hex(proof)) return std::nullopt;
    return proof;
}

} // namespace

ScriptServer::ScriptServer(std::vector<Step> script) : script_(std::move(script)) {
    listener_.adopt(mvnet::listen_loopback(&port_));
    start();
}

ScriptServer::ScriptServer(std::vector<Step> script, mvnet::Socket listener, uint16_t port)
    : script_(std::move(script)), listener_(listener), port_(port) {
    start();
}

void ScriptServer::start() {
    if (!listener_.valid()) {
        errors_.emplace_back("server: no listening socket");
        done_ = true;
        return;
    }
    thread_ = std::thread([this] { run(); });
}

ScriptServer::~ScriptServer() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
}

void ScriptServer::open_gate() {
    gates_opened_.fetch_add(1);
}

void ScriptServer::run() {
    bool ok = accept_next();
    for (size_t i = 0; ok && i < script_.size(); ++i)
        ok = play(script_[i]);
    {
        std::lock_guard lock(mutex_);
        done_ = true;
    }
    changed_.notify_all();
    while (ok && !stop_.load() && pump(kSliceMs)) {
    }
}

bool ScriptServer::play(const Step &step) {
    using Kind = Step::Kind;
    std::string line;
    switch (step.kind) {
    case Kind::expect_exact:
    case Kind::expect_prefix:
    case Kind::expect_any: {
        if (!expect_line(&line, "'" + step.text + "'")) return false;
        const bool ok = step.kind == Kind::expect_any ||
                        (step.kind == Kind::expect_exact ? line == step.text : line.starts_with(step.text));
        if (!ok) fail("expected '" + step.text + "', got '" + line + "'");
        return ok;
    }
    case Kind::expect_close:
        while (!stop_.load()) {
            if (!pump(kSliceMs)) return true;
        }
        return false;
    case Kind::send:
        return send_bytes(step.text);
    case Kind::pause:
    case Kind::silent: {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(step.ms);
        return hold([until] { return std::chrono::steady_clock::now() >= until; }, step.kind == Kind::pause);
    }
    case Kind::close:
    case Kind::reset:
        drop_connection(step.kind == Kind::reset);
        return true;
    case Kind::accept:
        return accept_next();
    case Kind::gate:
        if (!hold([this] { return gates_opened_.load() > gates_passed_; }, true)) return false;
        ++gates_passed_;
        return true;
    case Kind::handshake:
        return play_handshake(step.hs);
    }
    return false;
}

bool ScriptServer::play_handshake(const Handshake &hs) {
    const std::string hello = "HELLO2 " + hs.api_key + " " + hs.alias;
    std::string line;
    if (!expect_line(&line, "HELLO2")) return false;
    if (line != hello) {
        fail("expected '" + hello + "', got '" + line + "'");
        return false;
    }
    if (!send_bytes("CHALLENGE " + hs.token + "\n") || !expect_line(&line, "PROOF")) return false;
    const std::optional<std::string_view> proof = parse_proof(line);
    if (!proof) {
        fail("malformed proof line '" + line + "'");
        return false;
    }
    if (!hs.proof.empty() && *proof != hs.proof) {
        fail("proof " + std::string(*proof) + " differs from the expected " + hs.proof);
        return false;
    }
    return hs.reply.empty() || send_bytes(hs.reply);
}

bool ScriptServer::expect_line(std::string *line, std::string_view what) {
    const Got got = next_line(line);
    if (got == Got::closed) fail("connection closed while expecting " + std::string(what));
    return got == Got::line;
}

template <typename Done> bool ScriptServer::hold(Done done, bool read) {
    bool reading = read && socket_.valid();
    while (!stop_.load() && !done()) {
        if (reading) {
            reading = pump(kSliceMs);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(kSliceMs));
        }
    }
    return !stop_.load();
}

bool ScriptServer::accept_next() {
    drop_connection(false);
    while (!stop_.load()) {
        const int ready = mvnet::wait_readable(listener_.get(), kSliceMs);
        if (ready < 0) {
            fail("listening socket failed");
            return false;
        }
        if (ready == 0) continue;
        socket_.adopt(mvnet::accept_one(listener_.get(), 0));
        if (!socket_.valid()) continue;
        consumed_ = 0;
        {
            std::lock_guard lock(mutex_);
            connections_.emplace_back();
        }
        changed_.notify_all();
        return true;
    }
    return false;
}

bool ScriptServer::pump(int timeout_ms) {
    if (!socket_.valid()) return false;
    char buf[4096];
    const mvnet::IoResult r = mvnet::receive(socket_.get(), buf, sizeof buf, timeout_ms);
    if (r.status == mvnet::Io::timeout) return true;
    const bool gone = r.status != mvnet::Io::done;
    {
        std::lock_guard lock(mutex_);
        Connection &c = connections_.back();
        c.peer_closed = gone;
        c.raw.append(buf, r.bytes);
        for (size_t i = 0; i < r.bytes; ++i) {
            if (buf[i] == '\n') {
                c.lines.push_back(std::move(c.partial));
                c.partial.clear();
            } else {
                c.partial.push_back(buf[i]);
            }
        }
    }
    changed_.notify_all();
    if (gone) socket_.adopt(mvnet::kInvalidSocket);
    return !gone;
}

ScriptServer::Got ScriptServer::next_line(std::string *line) {
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            const Connection &c = connections_.back();
            if (consumed_ < c.lines.size()) {
                *line = c.lines[consumed_++];
                return Got::line;
            }
        }
        if (stop_.load()) return Got::stopped;
        if (!pump(kSliceMs)) return Got::closed;
    }
}

bool ScriptServer::send_bytes(std::string_view bytes) {
    // In slices, so that a peer that does not read holds the script but not a stop.
    while (socket_.valid() && !stop_.load()) {
        if (bytes.empty()) return true;
        const mvnet::IoResult r = mvnet::send_some(socket_.get(), bytes.data(), bytes.size(), kSliceMs);
        if (r.status == mvnet::Io::done) {
            bytes.remove_prefix(r.bytes);
        } else if (r.status != mvnet::Io::timeout) {
            break;
        }
    }
    if (stop_.load()) return false;
    fail("cannot send '" + std::string(bytes.substr(0, 80)) + (bytes.size() > 80 ? "...'" : "'"));
    return false;
}

void ScriptServer::fail(std::string what) {
    {
        std::lock_guard lock(mutex_);
        const std::string where =
            connections_.empty() ? "server" : "connection " + std::to_string(connections_.size() - 1);
        errors_.push_back(where + ": " + std::move(what));
    }
    changed_.notify_all();
    drop_connection(false);
}

void ScriptServer::drop_connection(bool reset) {
    if (reset) {
        mvnet::reset_socket(socket_.release());
    } else {
        socket_.adopt(mvnet::kInvalidSocket);
    }
}

template <typename Pred> bool ScriptServer::wait(std::chrono::milliseconds deadline, Pred pred) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, deadline, pred);
}

bool ScriptServer::wait_for_lines(std::string_view prefix, size_t count, size_t connection,
                                  std::chrono::milliseconds deadline) const {
    return wait(deadline, [&] {
        if (connection >= connections_.size()) return false;
        const std::vector<std::string> &lines = connections_[connection].lines;
        return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string &line) {
                   return line.starts_with(prefix);
               })) >= count;
    });
}

bool ScriptServer::wait_for_peer_close(size_t connection, std::chrono::milliseconds deadline) const {
    return wait(deadline,
                [&] { return connection < connections_.size() && connections_[connection].peer_closed; });
}

bool ScriptServer::wait_for_connections(size_t count, std::chrono::milliseconds deadline) const {
    return wait(deadline, [&] { return connections_.size() >= count; });
}

bool ScriptServer::wait_until_done(std::chrono::milliseconds deadline) const {
    return wait(deadline, [&] { return done_; });
}

size_t ScriptServer::connections() const {
    std::lock_guard lock(mutex_);
    return connections_.size();
}

std::vector<std::string> ScriptServer::lines(size_t connection) const {
    std::lock_guard lock(mutex_);
    return connection < connections_.size() ? connections_[connection].lines : std::vector<std::string>{};
}

std::string ScriptServer::raw(size_t connection) const {
    std::lock_guard lock(mutex_);
    return connection < connections_.size() ? connections_[connection].raw : std::string{};
}

std::vector<std::string> ScriptServer::errors() const {
    std::lock_guard lock(mutex_);
    return errors_;
}

} // namespace mvfalloff
