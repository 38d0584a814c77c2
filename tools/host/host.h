// A stand-in for the Mumble client (1.5, plugin API 1.2.0) as a plugin sees
// it, shared by the plugin tests, the benchmarks and the host simulator.
//
// What it models:
// - Loading: the library opened by path as the client opens it (RTLD_NOW |
//   RTLD_LOCAL; LoadLibraryW), the exports found by their plain names; and
//   as "Install plugin..." does it, renamed while loaded and loaded again.
// - Threads: a main thread that is an event loop owned by the stand-in; the
//   exports the client calls on its main thread (setMumbleInfo,
//   registerAPIFunctions, init, shutdown, onServerSynchronized, user and
//   channel events) run there while the caller waits. API functions run on the main
//   thread: called from it, directly; from any other thread, posted to it and
//   waited for, giving up after 800 ms with status 19 (a request given up on is
//   never run). So while an export keeps the main thread busy, other threads'
//   API calls time out, as in the client. onServerConnected and
//   onServerDisconnected run on a network thread while the main loop serves
//   on; audio callbacks on an audio thread, from which the API must not be
//   called.
// - The API table: 38 slots, none null, built on the main thread's stack for
//   registerAPIFunctions and poisoned once it returns; a plugin that kept the
//   pointer reaches traps that are reported.
// - The session: no connection, connected (user queries answer 11 "not
//   synchronised") or synchronised, over a roster of users; the client's event
//   order on joining (onServerConnected, onUserAdded and onChannelEntered for
//   every user, onServerSynchronized), on leaving, and on loading a plugin
//   mid-session (setMumbleInfo, registerAPIFunctions and init; no
//   onServerSynchronized, so init asks slots 1 and 2).
// - Checks: every string and array handed out released exactly once (blocks
//   kept allocated so that no address is reused, or freed at once for long
//   runs); no API call after shutdown, with another plugin id, through a stale
//   table or from the audio thread.
// - Faults: any slot missing, failing (with or without an answer to release),
//   or answering OK with nothing.
//
// Only one Host may exist at a time: the API functions carry no context and
// reach it through a process-wide pointer.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "host/api_types.h"
#include "host/blocks.h"
#include "host/fn_ref.h"
#include "host/plugin_dir.h"
#include "host/plugin_library.h"

namespace mvhost {

// A deadline that only ends a wait which would otherwise hang; generous for
// sanitizer builds and Wine.
inline constexpr std::chrono::milliseconds kDefaultDeadline{20000};

struct RosterUser {
    UserId id;
    std::string name;
    std::string hash; // certificate hash text; empty when the user has none
};

enum class ConnectionState {
    none,         // no server: getActiveServerConnection answers 2
    connected,    // joining: user queries answer 11
    synchronised, // on a server, every query answered
};

// How one API slot misbehaves.
enum class Fault {
    none,
    missing,            // null in the table
    status,             // answers ApiFault::status and hands back nothing (freeMemory still releases)
    null_result,        // answers 0 and hands back null (getAllUsers: with the roster's count), or
                        // writes nothing where the answer is not a pointer
    status_with_result, // user queries: answers ApiFault::status and hands back the answer all
                        // the same, which the plugin must still release
};

struct ApiFault {
    Fault kind = Fault::none;
    Status status = kStatusNotSynchronised;
    std::optional<UserId> only_user; // user-taking slots: fail for this user only
};

struct HostOptions {
    Blocks blocks = Blocks::keep;
    // Off for long runs whose host must not grow: lines are then only counted
    // (calls(kSlotLog)).
    bool keep_log_lines = true;
    std::chrono::milliseconds api_timeout{800};
};

enum class HostThread { main, network, audio };

// What the plugin says about itself.
struct PluginInfo {
    std::string name, author, description;
    Version version{}, api_version{}, functions_version{};
    uint32_t features = 0;
};

class Host {
  public:
    static constexpr PluginId kDefaultPluginId = 4242;

    // Loads the library at library_path (on the main thread, as the client
    // does). A library that does not load leaves loaded() false.
    explicit Host(const std::string &library_path, HostOptions options = {});
    // Shuts the plugin down if it is still initialised, unloads it, and waits
    // for API calls in progress before the threads end.
    ~Host();
    Host(const Host &) = delete;
    Host &operator=(const Host &) = delete;

    // ---- the library ------------------------------------------------------------
    [[nodiscard]] bool loaded() const;
    [[nodiscard]] const std::string &load_error() const;
    // Exports among the 23 that the library lacks; empty when it has them all.
    [[nodiscard]] const std::vector<std::string> &missing_exports() const;
    // The exports, for calls from any thread (null where missing, and after
    // unload). Calling them directly is how tests race the host's threads.
    [[nodiscard]] const PluginExports &plugin() const;
    // Any symbol of the library, or null.
    [[nodiscard]] AnyFn symbol(const char *name) const;
    // "Install plugin..." in a running client (on the main thread): the
    // library, loaded where it lay, is renamed to new_path (replacing what is
    // there) while loaded, and loaded again by that path with the first handle
    // still open, which is then closed. The loader hands back the module it
    // has, whose recorded name is the old path. True when it did (the same
    // exports); false when the rename or the load failed (load_error says).
    bool move_and_reload(const std::string &new_path);
    // The name, author, description, versions and features (main thread).
    [[nodiscard]] PluginInfo info();

    // ---- the plugin's lifecycle, on the main thread ------------------------------
    // The API table on the stack, passed, then poisoned (Fault::missing leaves
    // a slot null).
    void register_api();
    Status init(PluginId id = kDefaultPluginId);
    void shutdown();
    // first() runs on the main thread just before the plugin's shutdown, in
    // the same turn of the main loop: other threads' API calls posted by then
    // wait while shutdown runs, as they do in the client.
    template <typename F> void shutdown_after(F &&first) { shutdown(FnRef(first)); }
    // Shuts down if needed, then unloads; the exports are null afterwards.
    void unload();
    // As the client enables a plugin: setMumbleInfo, registerAPIFunctions and
    // init, with the table still on the stack during init. In whatever
    // session there is; on a synchronised server this is loading mid-session.
    // Again after shutdown, it is the user's untick and tick. True when init
    // answered 0.
    bool start(PluginId id = kDefaultPluginId);
    // Sets a synchronised session on connection over roster (its first user
    // is the local one), then start(): loading mid-session.
    bool start(std::vector<RosterUser> roster, ConnectionId connection = 1);
    [[nodiscard]] bool initialised() const;

    // ---- what the API answers (no events) ----------------------------------------
    void set_connection(ConnectionId connection, ConnectionState state = ConnectionState::synchronised);
    void set_local_user(UserId id);
    void set_roster(std::vector<RosterUser> users);
    void add_user(RosterUser user);
    void remove_user(UserId id);
    void set_fault(size_t slot, ApiFault fault);

    // ---- the client's events -------------------------------------------------------
    // Joining: connected, onServerConnected (network thread), onUserAdded and
    // onChannelEntered for every user (main), synchronised,
    // onServerSynchronized (main). The roster's first user is the local one.
    void join(ConnectionId connection, std::vector<RosterUser> roster);
    // Leaving: no connection, then onServerDisconnected (network thread).
    void leave();
    // A user connects (onUserAdded, onChannelEntered) or leaves (removed from
    // the roster, then onUserRemoved); events only while on a server.
    void user_joins(RosterUser user);
    void user_leaves(UserId id);
    // onAudioSourceFetched on the audio thread, 48000 Hz; its answer.
    bool audio_source_fetched(float *samples, uint32_t frames, uint16_t channels, UserId user,
                              bool is_speech = true);

    // Runs f on one of the host's threads and waits for it; its result.
    template <typename F> auto on(HostThread thread, F &&f) -> std::invoke_result_t<F &> {
        if constexpr (std::is_void_v<std::invoke_result_t<F &>>) {
            run_on(thread, FnRef(f));
        } else {
            std::optional<std::invoke_result_t<F &>> result;
            auto call = [&] { result.emplace(f()); };
            run_on(thread, FnRef(call));
            return std::move(*result);
        }
    }
    template <typename F> auto on_main(F &&f) { return on(HostThread::main, f); }
    template <typename F> auto on_network(F &&f) { return on(HostThread::network, f); }

    // ---- what the plugin did --------------------------------------------------------
    // Lines passed to the log function, in order, from the first-th on.
    [[nodiscard]] std::vector<std::string> log_lines(size_t first = 0) const;
    // Waits until at least count log lines contain text; false at the deadline.
    bool wait_for_log(std::string_view text, size_t count = 1,
                      std::chrono::milliseconds deadline = kDefaultDeadline) const;
    // Calls of a slot, answered or not, and calls given up after the time-out.
    [[nodiscard]] size_t calls(size_t slot) const;
    [[nodiscard]] size_t timeouts() const;
    // Blocks handed out so far, and how many are not released yet.
    [[nodiscard]] uint64_t handed_out() const;
    [[nodiscard]] int64_t outstanding() const;
    // Empty when the plugin kept the host's rules: every block released
    // exactly once, no API call after shutdown, with another plugin id,
    // through the table after registration returned, or from the audio thread.
    [[nodiscard]] std::vector<std::string> contract_violations() const;

    struct State; // shared with the API functions

  private:
    void run_on(HostThread thread, FnRef work);
    void shutdown(FnRef first);

    std::unique_ptr<State> state_;
};

// Marks the calling thread as the host's audio thread for the guard's
// lifetime, so that a loop can call plugin().onAudioSourceFetched itself at no
// extra cost while its API calls are still caught.
class AudioThreadMark {
  public:
    AudioThreadMark();
    ~AudioThreadMark();
    AudioThreadMark(const AudioThreadMark &) = delete;
    AudioThreadMark &operator=(const AudioThreadMark &) = delete;

  private:
    bool saved_;
};

} // namespace mvhost
