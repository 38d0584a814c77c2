// The host side of the simulator: loads a plugin library as the host does,
// hands it a 38-slot API table served over a roster of users, and keeps the
// host's threading rules: API functions run on the main thread, calls from
// other threads wait until the main thread serves them and give up after
// about 800 ms with status 19.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace mvtools {

// The host API's value types, as the host lays them out.
struct HostVersion {
    int32_t major;
    int32_t minor;
    int32_t patch;
};
struct HostString {
    const char *data;
    size_t size;
    bool needsReleasing;
};

inline constexpr size_t kApiSlots = 38;
inline constexpr int32_t kOk = 0;
inline constexpr int32_t kGenericError = -1;
inline constexpr int32_t kNoSuchConnection = 2;
inline constexpr int32_t kNoSuchUser = 3;
inline constexpr int32_t kNotSynchronised = 11;
inline constexpr int32_t kTimedOut = 19;

struct PluginFunctions {
    HostVersion (*getPluginFunctionsVersion)() = nullptr;
    HostVersion (*getAPIVersion)() = nullptr;
    HostVersion (*getVersion)() = nullptr;
    HostString (*getName)() = nullptr;
    HostString (*getAuthor)() = nullptr;
    HostString (*getDescription)() = nullptr;
    uint32_t (*getFeatures)() = nullptr;
    uint32_t (*deactivateFeatures)(uint32_t) = nullptr;
    void (*registerAPIFunctions)(void *) = nullptr;
    void (*setMumbleInfo)(HostVersion, HostVersion, HostVersion) = nullptr;
    void (*releaseResource)(const void *) = nullptr;
    int32_t (*init)(uint32_t) = nullptr;
    void (*shutdown)() = nullptr;
    void (*onServerConnected)(int32_t) = nullptr; // optional
    void (*onServerSynchronized)(int32_t) = nullptr;
    void (*onServerDisconnected)(int32_t) = nullptr;
    void (*onUserAdded)(int32_t, uint32_t) = nullptr;
    void (*onUserRemoved)(int32_t, uint32_t) = nullptr;
    void (*onChannelEntered)(int32_t, uint32_t, int32_t, int32_t) = nullptr;
    bool (*onAudioInput)(int16_t *, uint32_t, uint16_t, uint32_t, bool) = nullptr;
    bool (*onAudioSourceFetched)(float *, uint32_t, uint16_t, uint32_t, bool, uint32_t) = nullptr;
    bool (*onAudioOutputAboutToPlay)(float *, uint32_t, uint16_t, uint32_t) = nullptr;
    bool (*hasUpdate)() = nullptr;
    HostString (*getUpdateDownloadURL)() = nullptr;
};

struct HostUser {
    uint32_t id;
    std::string name;
    std::string hash; // empty: the user has no certificate
};

// What the plugin reports about itself.
struct PluginInfo {
    std::string name, author, description;
    HostVersion version{}, api_version{}, functions_version{};
    uint32_t features = 0;
};

class SimHost {
  public:
    SimHost();
    ~SimHost();
    SimHost(const SimHost &) = delete;
    SimHost &operator=(const SimHost &) = delete;

    // dlopen with RTLD_LOCAL and resolve the exports. On failure says why.
    bool load(const std::string &path, std::string *error);
    [[nodiscard]] const PluginFunctions &fn() const { return fn_; }
    [[nodiscard]] PluginInfo info() const;
    // Required exports that the library lacks.
    [[nodiscard]] const std::vector<std::string> &missing() const { return missing_; }

    // The host's start: register the API table (a stack copy, poisoned after
    // the call), pass the host's versions, init with the plugin id.
    int32_t start(uint32_t plugin_id);
    // Joining a server: every user added and placed in a channel first (API
    // calls answer "not synchronised" until then), then synchronised.
    void join(int32_t connection, uint32_t local_user, std::vector<HostUser> users);
    // Leaving: onServerDisconnected from a network thread of its own, served
    // by this (main) thread meanwhile.
    void leave();
    void stop(); // mumble_shutdown (served likewise)
    void unload();

    // Runs API calls that other threads are waiting for; call often from the
    // main thread.
    void serve();
    // Marks the calling thread as the audio thread (API calls from it are
    // counted as violations).
    void mark_audio_thread();

    // Lines the plugin wrote to the host's log, taken once.
    std::vector<std::string> take_log();
    // Host-contract findings: unreleased pointers, double or unknown frees,
    // API calls after shutdown, from the audio thread, through a stale table.
    [[nodiscard]] std::vector<std::string> violations() const;
    [[nodiscard]] size_t api_calls() const { return api_calls_.load(); }
    [[nodiscard]] size_t api_timeouts() const { return api_timeouts_.load(); }

    struct Api; // the C entry points of the table

  private:
    // Runs f as the host would: directly on the main thread, else queued for
    // the main thread with an 800 ms limit.
    int32_t on_main(const std::function<int32_t()> &f);
    int32_t run_call(uint32_t plugin_id, bool needs_sync, int32_t connection,
                     const std::function<int32_t()> &f);
    const char *hand_out(const std::string &s);
    uint32_t *hand_out_ids(const std::vector<uint32_t> &ids);
    int32_t release(const void *p);
    const HostUser *user(uint32_t id) const;
    // Waits for a thread while serving API calls.
    void serve_until_done(std::thread &t, const std::atomic<bool> &done);

    void *lib_ = nullptr;
    PluginFunctions fn_;
    std::vector<std::string> missing_;
    std::thread::id main_thread_;
    std::atomic<std::thread::id> audio_thread_{};

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    struct Task {
        std::function<int32_t()> f;
        int32_t result = 0;
        bool done = false;
    };
    std::deque<Task *> queue_;
    uint32_t plugin_id_ = 0;
    bool initialised_ = false;
    bool shut_down_ = false;
    bool synced_ = false;
    int32_t connection_ = -1;
    uint32_t local_user_ = 0;
    std::vector<HostUser> users_;
    std::map<const void *, std::string> live_;
    std::set<const void *> freed_;
    std::vector<std::string> log_;
    std::vector<std::string> problems_;

    std::atomic<size_t> api_calls_{0}, api_timeouts_{0};
};

} // namespace mvtools
