#include "falloff/worker.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>

#include "falloff/apply_update.h"
#include "falloff/line_reader.h"
#include "falloff/messages.h"
#include "falloff/ping_clock.h"
#include "falloff/proof.h"
#include "log/log.h"
#include "platform/platform.h"
#include "state/state.h"

namespace mv {

namespace {

constexpr uint32_t kSocketWaitMs = 5000;

} // namespace

// Shared by the stopping side and the thread; whoever lets go last frees it, so
// a thread that outlives the stopper's wait still has its stop event.
struct FalloffWorker {
    platform::Event *stop = nullptr;
    platform::Thread *thread = nullptr;
    std::atomic<int> refs{2};
    // The worker's private buffers, kept off its stack.
    LineReader reader;
};

namespace {

void release(FalloffWorker *w) noexcept {
    if (w->refs.fetch_sub(1) == 1) {
        platform::event_destroy(w->stop);
        delete w;
    }
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
    const PluginSettings &settings = g_state.settings;
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
        file_log("falloff_hello2_rejected reply=%s", reply.status == LineStatus::idle ? "" : reply.text);
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
        file_log("falloff_proof_rejected reply=%s", reply.status == LineStatus::idle ? "" : reply.text);
        return false;
    }
    main_log("connected to falloff %s:%d", settings.server_host, settings.server_port);
    return true;
}

// The established link: lines, PINGs both ways, updates. Returns why it ended.
LinkEnd run_link(FalloffWorker &w, platform::Socket s) noexcept {
    SocketSource source(s, w.stop);
    uint32_t last_ping = platform::tick_ms();
    int error = 0;
    for (;;) {
        if (platform::event_is_set(w.stop)) return LinkEnd::stopped;
        LineResult r = w.reader.next(source);
        if (r.status == LineStatus::stopped) return LinkEnd::stopped;
        if (r.status == LineStatus::closed || r.status == LineStatus::error) {
            file_log("falloff_disconnected wsa=%d",
                     r.status == LineStatus::error ? r.error : platform::last_socket_error());
            return LinkEnd::closed;
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

bool ready(const Identity &id) noexcept {
    const PluginSettings &s = g_state.settings;
    return s.enabled && id.hash[0] != '\0' && id.alias[0] != '\0' && s.api_key[0] != '\0';
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
    if (!ready(id)) return true;

    const PluginSettings &settings = g_state.settings;
    file_log("falloff_connect_attempt host=%s port=%d", settings.server_host, settings.server_port);
    char port[32];
    std::snprintf(port, sizeof port, "%d", settings.server_port);
    platform::AddressList *addresses = platform::resolve(settings.server_host, port);
    // A name lookup cannot be interrupted: a stop that came meanwhile is obeyed
    // before anything else is touched.
    if (platform::event_is_set(w.stop)) {
        platform::free_addresses(addresses);
        return false;
    }
    if (addresses == nullptr) {
        file_log("falloff resolve failed host=%s port=%s", settings.server_host, port);
        file_log("falloff_connect_fail host=%s port=%d", settings.server_host, settings.server_port);
        return true;
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
        return true;
    }

    if (!handshake(w, s, id)) {
        platform::close_socket(s);
        return !platform::event_is_set(w.stop);
    }
    LinkEnd end = run_link(w, s);
    platform::close_socket(s);
    clear_speakers();
    return end != LinkEnd::stopped && !platform::event_is_set(w.stop);
}

void worker_main(void *arg) noexcept {
    FalloffWorker &w = *static_cast<FalloffWorker *>(arg);
    const uint32_t backoff_ms = static_cast<uint32_t>(g_state.settings.reconnect_sec) * 1000u;
    while (!platform::event_is_set(w.stop)) {
        if (!attempt(w)) break;
        if (platform::event_wait(w.stop, backoff_ms)) break;
    }
    release(&w);
}

} // namespace

FalloffWorker *worker_start() noexcept {
    FalloffWorker *w = new (std::nothrow) FalloffWorker;
    if (w == nullptr) return nullptr;
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
    platform::thread_wait(w->thread, wait_ms);
    platform::thread_release(w->thread);
    release(w);
}

} // namespace mv
