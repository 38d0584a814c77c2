#include "log/trace_ring.h"

#include <atomic>
#include <cstdio>
#include <utility>

#include "common/fixed.h"
#include "log/log.h"
#include "platform/platform.h"

namespace mv {

namespace {

constexpr size_t kSlots = 256; // a power of two: positions map to slots by mask
constexpr size_t kMask = kSlots - 1;
constexpr uint32_t kDrainPeriodMs = 100;
// The drain thread only writes the log file, so waiting for it always ends; the
// wait has no limit because its stop event is destroyed right after.
constexpr uint32_t kWaitForever = 0xFFFFFFFFu;

// Bounded MPMC queue after Vyukov: each slot's sequence says whose turn it is.
// sequence == pos: free for the producer of pos; sequence == pos + 1: holds the
// record of pos for the consumer; the consumer hands it to pos + kSlots.
struct Slot {
    std::atomic<size_t> sequence;
    AudioTrace trace;
    constexpr explicit Slot(size_t initial) noexcept : sequence(initial), trace{} {}
};

struct Ring {
    alignas(64) std::atomic<size_t> push_pos{0};
    alignas(64) std::atomic<size_t> pop_pos{0};
    alignas(64) Slot slots[kSlots];

    template <size_t... I> constexpr explicit Ring(std::index_sequence<I...>) noexcept : slots{Slot(I)...} {}
};

// Constant-initialised: valid from load, before any init and after shutdown,
// since the audio callback may run at either time.
constinit Ring g_ring{std::make_index_sequence<kSlots>{}};
// Records the audio thread could not queue because the ring was full; the next
// drain says how many, so that lost lines are never silent.
constinit std::atomic<uint32_t> g_dropped{0};

bool pop(AudioTrace &out) noexcept {
    size_t pos = g_ring.pop_pos.load(std::memory_order_relaxed);
    for (;;) {
        Slot &slot = g_ring.slots[pos & kMask];
        size_t seq = slot.sequence.load(std::memory_order_acquire);
        auto diff = static_cast<std::ptrdiff_t>(seq - (pos + 1));
        if (diff == 0) {
            if (g_ring.pop_pos.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) {
                out = slot.trace;
                slot.sequence.store(pos + kSlots, std::memory_order_release);
                return true;
            }
        } else if (diff < 0) {
            return false; // empty, or the next record is not complete yet
        } else {
            pos = g_ring.pop_pos.load(std::memory_order_relaxed);
        }
    }
}

// Drains hold this so that two drainers cannot reorder lines in the file.
constinit platform::Lock g_drain_lock;
// Start and stop of the drain thread, serialised against each other.
constinit platform::Lock g_thread_lock;
platform::Thread *g_thread = nullptr; // under g_thread_lock
platform::Event *g_stop = nullptr;    // under g_thread_lock

void drain_thread(void *arg) {
    auto *stop = static_cast<platform::Event *>(arg);
    do {
        trace_drain();
    } while (!platform::event_wait(stop, kDrainPeriodMs));
}

} // namespace

size_t format_audio_trace(char *out, size_t cap, const AudioTrace &t) noexcept {
    if (out == nullptr || cap == 0) return 0;
    int n =
        std::snprintf(out, cap,
                      "audio_apply sequence=%lu user_id=%u alias=%s alias_found=%d state_found=%d "
                      "gain=%s pan=%s channels=%u samples=%u rate=%u left_multiplier=%s "
                      "right_multiplier=%s peak_before=%s peak_after=%s peak_ratio=%s",
                      static_cast<unsigned long>(t.sequence), static_cast<unsigned>(t.user_id), t.alias,
                      t.alias_found, t.state_found, fixed(t.gain, 4).text, fixed(t.pan, 4).text,
                      static_cast<unsigned>(t.channels), static_cast<unsigned>(t.samples),
                      static_cast<unsigned>(t.rate), fixed(t.left, 4).text, fixed(t.right, 4).text,
                      fixed(t.peak_before, 6).text, fixed(t.peak_after, 6).text, fixed(t.peak_ratio, 4).text);
    // The effects in use, each only when it is.
    const struct {
        const char *name;
        float value;
    } effects[] = {{"muffle", t.muffle}, {"radio", t.radio}};
    for (const auto &e : effects) {
        if (n < 0 || static_cast<size_t>(n) >= cap || !(e.value > 0.0f)) continue;
        const int more =
            std::snprintf(out + n, cap - static_cast<size_t>(n), " %s=%s", e.name, fixed(e.value, 4).text);
        n = more < 0 ? n : n + more;
    }
    if (n < 0) {
        out[0] = '\0';
        return 0;
    }
    return static_cast<size_t>(n) < cap ? static_cast<size_t>(n) : cap - 1;
}

bool trace_push(const AudioTrace &trace) noexcept {
    size_t pos = g_ring.push_pos.load(std::memory_order_relaxed);
    for (;;) {
        Slot &slot = g_ring.slots[pos & kMask];
        size_t seq = slot.sequence.load(std::memory_order_acquire);
        auto diff = static_cast<std::ptrdiff_t>(seq - pos);
        if (diff == 0) {
            if (g_ring.push_pos.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) {
                slot.trace = trace;
                slot.sequence.store(pos + 1, std::memory_order_release);
                return true;
            }
        } else if (diff < 0) {
            // Full: the oldest record has not been drained yet.
            g_dropped.fetch_add(1, std::memory_order_relaxed);
            return false;
        } else {
            pos = g_ring.push_pos.load(std::memory_order_relaxed);
        }
    }
}

void trace_drain() noexcept {
    platform::LockGuard guard(g_drain_lock);
    AudioTrace record;
    char text[1024];
    while (pop(record)) {
        record.alias[sizeof record.alias - 1] = '\0'; // never trust the producer's copy
        format_audio_trace(text, sizeof text, record);
        file_log_text_at(record.when, text);
    }
    if (const uint32_t dropped = g_dropped.exchange(0, std::memory_order_relaxed); dropped > 0)
        file_log("audio_trace_dropped count=%u", static_cast<unsigned>(dropped));
}

void trace_drain_start() noexcept {
    platform::LockGuard guard(g_thread_lock);
    if (g_thread != nullptr) return;
    g_stop = platform::event_create();
    if (g_stop == nullptr) return;
    g_thread = platform::thread_start(drain_thread, g_stop);
    if (g_thread == nullptr) {
        platform::event_destroy(g_stop);
        g_stop = nullptr;
    }
}

void trace_drain_stop() noexcept {
    {
        platform::LockGuard guard(g_thread_lock);
        if (g_thread != nullptr) {
            platform::event_set(g_stop);
            bool ended = platform::thread_wait(g_thread, kWaitForever);
            platform::thread_release(g_thread);
            // A thread that somehow still runs keeps its event: leak it rather
            // than pull it from under the thread.
            if (ended) platform::event_destroy(g_stop);
            g_thread = nullptr;
            g_stop = nullptr;
        }
    }
    trace_drain();
}

} // namespace mv
