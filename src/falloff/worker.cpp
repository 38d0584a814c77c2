#include "falloff/worker.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "common/text.h"
#include "falloff/apply_update.h"
#include "falloff/line_reader.h"
#include "falloff/messages.h"
#include "falloff/name_lookup.h"
#include "falloff/ping_clock.h"
#include "falloff/proof.h"
#include "log/log.h"
#include "platform/platform.h"
#include "state/state.h"

namespace mv {

namespace {

constexpr uint32_t kSocketWaitMs = 5000;
// A reply is at most one line; made log-safe, a byte takes at most four.
constexpr size_t kReplyTextCap = 4 * kLineCap;
constexpr size_t kStatusCap = 512;
// How often a stop looks whether the worker it waits for sits in a host call.
constexpr uint32_t kStopSliceMs = 5;
// Links in a row that the server closed before sending anything: from the
// second on, the server keeps dropping us (it may end an older session of
// ours the moment it accepts a new one).
constexpr int kQuickDropsTold = 2;

// Where the worker is, as a stop sees it.
enum Phase : int {
    kWorking,    // waited for by a stop: it may still publish a table
    kInHost,     // inside a host call, which may take the host's time-out
    kLeftBehind, // stopped while inside one: on return it touches nothing shared
};

} // namespace

// Shared by the stopping side and the thread; whoever lets go last frees it.
struct FalloffWorker {
    platform::Event *stop = nullptr;
    platform::Thread *thread = nullptr;
    std::atomic<int> refs{2};
    // The worker's own copy, taken when it starts: a later init rewrites the
    // plugin's settings, and nothing a worker reads may change under it.
    PluginSettings settings{};
    // The worker's private buffers, kept off its stack.
    LineReader reader;
    char reply_text[kReplyTextCap];
    // What the host's log was last told about the link: a retry that ends the
    // same way is not told again.
    char last_status[kStatusCap] = {};
    // Links in a row that ended before the server sent a line on them.
    int quick_drops = 0;
    std::atomic<int> phase{kWorking};
};

namespace {

void release(FalloffWorker *w) noexcept {
    if (w->refs.fetch_sub(1) == 1) {
        platform::event_destroy(w->stop);
        delete w;
    }
}

// The main log from the worker. The host's log call may wait for the host's
// main thread, where a shut-down may be waiting for this worker: the stop
// leaves a worker in this call behind rather than wait (worker_stop), and the
// stop is set by then, so every path from here ends the worker.
void tell_host(FalloffWorker &w, const char *text) noexcept {
    w.phase.store(kInHost);
    main_log("%s", text);
    int in_host = kInHost;
    w.phase.compare_exchange_strong(in_host, kWorking);
}

// Tells the host's log how the link stands, unless that is what it said last.
void tell_status(FalloffWorker &w, const char *fmt, ...) noexcept MV_PRINTF(2, 3);
void tell_status(FalloffWorker &w, const char *fmt, ...) noexcept {
    char text[kStatusCap];
    std::va_list args;
    va_start(args, fmt);
    const int n = std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    if (n < 0 || std::strcmp(text, w.last_status) == 0) return;
    copy_text(w.last_status, sizeof w.last_status, text);
    tell_host(w, text);
}

void tell_connected(FalloffWorker &w) noexcept {
    char text[kStatusCap];
    std::snprintf(text, sizeof text, "connected to falloff %s:%d", w.settings.server_host,
                  w.settings.server_port);
    tell_host(w, text);
    w.last_status[0] = '\0'; // the next trouble is news again
}

// The server's reply as a log may show it: the key masked, control bytes escaped.
const char *reply_for_log(FalloffWorker &w, const LineResult &reply) noexcept {
    const std::string_view text = reply.status == LineStatus::idle ? std::string_view() : reply.text;
    log_safe_copy(w.reply_text, sizeof w.reply_text, text, w.settings.api_key, kSecretMask);
    return w.reply_text;
}

class SocketSource final : public ByteSource {
  public:
    SocketSource(platform::Socket s, platform::Event *stop) : socket_(s), stop_(stop) {}
    platform::IoResult read(char *buf, size_t cap) noexcept override {
        platform::IoResult r = platform::recv_bytes(socket_, buf, cap, stop_, kSocketWaitMs, drained_);
        // A read that did not fill the buffer most likely emptied the socket.
        drained_ = r.status != platform::IoStatus::ok || r.count < cap;
        return r;
    }

  private:
    platform::Socket socket_;
    platform::Event *stop_;
    bool drained_ = false;
};

bool send_line(platform::Socket s, platform::Event *stop, const char *line, size_t len, int &error) noexcept {
    platform::IoResult r = platform::send_bytes(s, line, len, stop, kSocketWaitMs);
    error = r.status == platform::IoStatus::error ? r.error : platform::last_socket_error();
    return r.status == platform::IoStatus::ok;
}

enum class LinkEnd { handshake_failed, closed, stopped };

struct Identity {
    char hash[kAliasCap];
    char alias[kAliasCap];
};

// Handshake: HELLO2, CHALLENGE, PROOF, OK. True when the link is established.
bool handshake(FalloffWorker &w, platform::Socket s, const Identity &id) noexcept {
    const PluginSettings &settings = w.settings;
    int error = 0;
    char hello[1024];
    size_t len = format_hello2(hello, sizeof hello, settings.api_key, id.alias);
    if (!send_line(s, w.stop, hello, len, error)) {
        if (!platform::event_is_set(w.stop)) file_log("falloff_hello2_send_fail wsa=%d", error);
        return false;
    }

    SocketSource source(s, w.stop);
    w.reader.reset();
    LineResult reply = w.reader.next(source);
    std::string_view token;
    if (reply.status == LineStatus::stopped) return false;
    if (reply.status != LineStatus::line || !parse_challenge(reply.text, token)) {
        const char *shown = reply_for_log(w, reply);
        file_log("falloff_hello2_rejected reply=%s", shown);
        tell_status(w, "the falloff server refused the greeting: %s", *shown != '\0' ? shown : "(no reply)");
        return false;
    }

    char proof[kProofCap];
    if (!compute_proof(id.hash, token, proof)) {
        file_log("falloff_proof_hmac_failed");
        return false;
    }
    char proof_line[96];
    len = format_proof(proof_line, sizeof proof_line, proof);
    if (!send_line(s, w.stop, proof_line, len, error)) {
        if (!platform::event_is_set(w.stop)) file_log("falloff_proof_send_fail wsa=%d", error);
        return false;
    }

    reply = w.reader.next(source);
    if (reply.status == LineStatus::stopped) return false;
    if (reply.status != LineStatus::line || !is_accept(reply.text)) {
        const char *shown = reply_for_log(w, reply);
        file_log("falloff_proof_rejected reply=%s", shown);
        tell_status(w, "the falloff server refused the proof: %s", *shown != '\0' ? shown : "(no reply)");
        return false;
    }
    // A server that keeps dropping us was told of once; this link is news
    // only once the server sends something on it.
    if (w.quick_drops < kQuickDropsTold)
        tell_connected(w);
    else
        file_log("connected to falloff %s:%d", settings.server_host, settings.server_port);
    return true;
}

// The established link: lines, PINGs both ways, updates. Returns why it ended.
LinkEnd run_link(FalloffWorker &w, platform::Socket s) noexcept {
    SocketSource source(s, w.stop);
    uint32_t last_ping = platform::tick_ms();
    int error = 0;
    bool heard = false; // the server has sent a line on this link
    for (;;) {
        if (platform::event_is_set(w.stop)) return LinkEnd::stopped;
        LineResult r = w.reader.next(source);
        if (r.status == LineStatus::stopped) return LinkEnd::stopped;
        if (r.status == LineStatus::closed || r.status == LineStatus::error) {
            file_log("falloff_disconnected wsa=%d",
                     r.status == LineStatus::error ? r.error : platform::last_socket_error());
            if (!heard) ++w.quick_drops;
            return LinkEnd::closed;
        }
        if (r.status == LineStatus::line && !heard) {
            heard = true;
            if (w.quick_drops >= kQuickDropsTold) tell_connected(w);
            w.quick_drops = 0;
            if (platform::event_is_set(w.stop)) return LinkEnd::stopped;
        }
        if (r.status == LineStatus::line) {
            UpdateKind kind;
            std::string_view payload;
            if (is_ping(r.text)) {
                send_line(s, w.stop, kOkLine, sizeof kOkLine - 1, error);
            } else if (parse_update_line(r.text, kind, payload)) {
                apply_update(kind, payload, platform::tick_ms());
            }
        }
        uint32_t now = platform::tick_ms();
        if (ping_due(last_ping, now)) {
            last_ping = now;
            if (!send_line(s, w.stop, kPingLine, sizeof kPingLine - 1, error)) {
                if (platform::event_is_set(w.stop)) return LinkEnd::stopped;
                file_log("falloff_ping_send_fail wsa=%d", error);
                return LinkEnd::closed;
            }
        }
    }
}

bool ready(FalloffWorker &w, const Identity &id) noexcept {
    const PluginSettings &s = w.settings;
    if (!s.enabled || id.hash[0] == '\0' || id.alias[0] == '\0' || s.api_key[0] == '\0') return false;
    // A line feed would cut the greeting in two on the wire.
    if (std::strchr(id.alias, '\n') != nullptr) {
        tell_status(w, "the local user name holds a line break, which the falloff link cannot carry; "
                       "not connecting");
        return false;
    }
    return true;
}

void tell_unreachable(FalloffWorker &w, const char *why) noexcept {
    const PluginSettings &s = w.settings;
    tell_status(w, "cannot reach the falloff server %s:%d%s; everyone is silent, retrying every %d s",
                s.server_host, s.server_port, why, s.reconnect_sec);
}

// One connection attempt, from resolving to the end of the link. False when
// the worker was stopped and must end without a backoff.
bool attempt(FalloffWorker &w) noexcept {
    Identity id;
    {
        platform::LockGuard guard(g_state.lock);
        std::snprintf(id.hash, sizeof id.hash, "%s", g_state.local_hash);
        std::snprintf(id.alias, sizeof id.alias, "%s", g_state.local_alias);
    }
    if (!ready(w, id)) return true;

    const PluginSettings &settings = w.settings;
    file_log("falloff_connect_attempt host=%s port=%d", settings.server_host, settings.server_port);
    char port[32];
    std::snprintf(port, sizeof port, "%d", settings.server_port);
    platform::AddressList *addresses = nullptr;
    switch (lookup_name(settings.server_host, port, w.stop, &addresses)) {
    case LookupEnd::stopped:
        return false;
    case LookupEnd::failed:
        file_log("falloff resolve failed host=%s port=%s", settings.server_host, port);
        file_log("falloff_connect_fail host=%s port=%d", settings.server_host, settings.server_port);
        tell_unreachable(w, " (the name does not resolve)");
        return true;
    case LookupEnd::resolved:
        break;
    }
    bool stopped = false;
    platform::Socket s = platform::connect_first(addresses, w.stop, kSocketWaitMs, &stopped);
    platform::free_addresses(addresses);
    if (stopped) {
        if (s != platform::kInvalidSocket) platform::close_socket(s);
        return false;
    }
    if (s == platform::kInvalidSocket) {
        file_log("falloff_connect_fail host=%s port=%d", settings.server_host, settings.server_port);
        tell_unreachable(w, "");
        return true;
    }

    if (!handshake(w, s, id)) {
        platform::close_socket(s);
        return !platform::event_is_set(w.stop);
    }
    LinkEnd end = run_link(w, s);
    platform::close_socket(s);
    // A stopped worker leaves the tables to the stopper, which may already
    // have handed them to a new worker.
    if (end == LinkEnd::stopped || platform::event_is_set(w.stop)) return false;
    clear_speakers();
    if (w.quick_drops >= kQuickDropsTold)
        tell_status(w,
                    "the falloff server keeps closing the link right after accepting it; everyone is "
                    "silent, retrying every %d s",
                    settings.reconnect_sec);
    else
        tell_status(w, "lost the link to the falloff server; everyone is silent until it is back");
    return true;
}

void worker_main(void *arg) noexcept {
    FalloffWorker &w = *static_cast<FalloffWorker *>(arg);
    const uint32_t backoff_ms = static_cast<uint32_t>(w.settings.reconnect_sec) * 1000u;
    while (!platform::event_is_set(w.stop)) {
        if (!attempt(w)) break;
        if (platform::event_wait(w.stop, backoff_ms)) break;
    }
    release(&w);
}

} // namespace

FalloffWorker *worker_start(const PluginSettings &settings) noexcept {
    FalloffWorker *w = new (std::nothrow) FalloffWorker;
    if (w == nullptr) return nullptr;
    w->settings = settings;
    w->stop = platform::event_create();
    if (w->stop != nullptr) w->thread = platform::thread_start(&worker_main, w);
    if (w->thread == nullptr) {
        if (w->stop != nullptr) platform::event_destroy(w->stop);
        delete w;
        return nullptr;
    }
    return w;
}

void worker_stop(FalloffWorker *w, uint32_t wait_ms) noexcept {
    if (w == nullptr) return;
    platform::event_set(w->stop);
    // A worker inside a host call is left behind, never waited for: the call
    // may be waiting for the very thread that stops it. It holds the library
    // loaded until it ends, and touches nothing shared on its way out.
    for (uint32_t waited = 0; waited < wait_ms; waited += kStopSliceMs) {
        if (platform::thread_wait(w->thread, kStopSliceMs)) break;
        int in_host = kInHost;
        if (w->phase.compare_exchange_strong(in_host, kLeftBehind)) break;
    }
    platform::thread_release(w->thread);
    release(w);
}

} // namespace mv
