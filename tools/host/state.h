// What the stand-in keeps, shared by its methods (host.cpp, session.cpp) and
// the API functions (api.cpp). Private to the library.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/event_loop.h"
#include "host/host.h"

namespace mvhost {

// Marks (or unmarks) the calling thread as the host's audio thread; returns
// the previous mark.
bool mark_audio_thread(bool audio);

enum class Lifecycle {
    loaded,      // not initialised yet: the plugin does not know its id
    initialised, // init called; until shutdown returns
    shut_down,   // shutdown returned, or init failed: the API must not be called
};

struct Host::State {
    explicit State(HostOptions o) : options(o), blocks(o.blocks) {}

    // Runs f on the main thread and waits.
    template <typename F> void on_main(F f) { main.run(FnRef(f)); }
    EventLoop &loop(HostThread thread);
    // Around init: the plugin id is valid during the call; a failed init
    // leaves the plugin shut down.
    void begin_init(PluginId id);
    void end_init(Status status);

    // The fault that applies to this call of slot (none unless it matches
    // only_user). Under mutex.
    [[nodiscard]] ApiFault fault(size_t slot, std::optional<UserId> user = std::nullopt) const;
    // User queries on connection: kStatusOk, or why they cannot be answered.
    // Under mutex.
    [[nodiscard]] Status session_status(ConnectionId asked) const;
    [[nodiscard]] const RosterUser *find_user(UserId id) const;

    const HostOptions options;

    // Written on the main thread at load and unload only.
    std::string library_path;
    std::unique_ptr<PluginLibrary> library;
    PluginExports exports{};
    std::vector<std::string> missing;
    std::string load_error;

    mutable std::mutex mutex; // guards what follows, up to the counters
    mutable std::condition_variable log_changed;
    Lifecycle lifecycle = Lifecycle::loaded;
    PluginId plugin_id = 0;
    ConnectionId connection = 1;
    ConnectionState connection_state = ConnectionState::none;
    UserId local_user = 0;
    std::vector<RosterUser> roster;
    std::array<ApiFault, kApiSlots> faults{};
    std::vector<std::string> log;
    BlockTracker blocks;
    size_t calls_after_shutdown = 0;
    size_t wrong_plugin_id_calls = 0;
    size_t audio_thread_calls = 0;

    std::array<std::atomic<size_t>, kApiSlots> calls{};
    std::atomic<size_t> timeouts{0};
    std::atomic<size_t> stale_calls{0};

    // Last, so that the threads end first.
    EventLoop main;
    EventLoop network;
    EventLoop audio{[] { mark_audio_thread(true); }};
};

// The API functions reach the one live host through these (api.cpp).
void activate(Host::State *state);   // throws when another host is live
void deactivate(Host::State *state); // waits for the API calls in progress
// The table as the client fills it (Fault::missing leaves a slot null), and
// the traps that replace every slot once registration returned.
void fill_api_table(const Host::State &state, void *(&table)[kApiSlots]);
void poison_api_table(void *(&table)[kApiSlots]);

} // namespace mvhost
