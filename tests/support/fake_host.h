// A stand-in for the host: loads a plugin library, resolves its 23 exports,
// hands it an API table whose six used functions run over a roster kept here,
// and checks the plugin's side of the API contract (every pointer released
// exactly once, no calls after shutdown, the table copied during
// registration).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "plugin_library.h"
#include "state/host_api.h"
#include "wait.h"

namespace mvtest {

// Status codes the fake host hands back.
inline constexpr mv::ErrorCode kStatusOk = 0;
inline constexpr mv::ErrorCode kStatusNotSynchronised = 11;
inline constexpr mv::ErrorCode kStatusTimedOut = 19;
inline constexpr mv::ErrorCode kStatusNoSuchConnection = 2;
inline constexpr mv::ErrorCode kStatusNoSuchUser = 3;
inline constexpr mv::ErrorCode kStatusConnectionNotFound = 5;

// The exports, typed as the host calls them.
struct PluginExports {
    MumbleVersion(MV_CALL *getPluginFunctionsVersion)();
    MumbleVersion(MV_CALL *getAPIVersion)();
    MumbleVersion(MV_CALL *getVersion)();
    MumbleStringWrapper(MV_CALL *getName)();
    MumbleStringWrapper(MV_CALL *getAuthor)();
    MumbleStringWrapper(MV_CALL *getDescription)();
    uint32_t(MV_CALL *getFeatures)();
    uint32_t(MV_CALL *deactivateFeatures)(uint32_t features);
    void(MV_CALL *registerAPIFunctions)(void *api_table);
    void(MV_CALL *setMumbleInfo)(MumbleVersion mumble, MumbleVersion api, MumbleVersion minimum_api);
    void(MV_CALL *releaseResource)(const void *pointer);
    mv::ErrorCode(MV_CALL *init)(mv::PluginId id);
    void(MV_CALL *shutdown)();
    void(MV_CALL *onServerSynchronized)(mv::ConnectionId connection);
    void(MV_CALL *onServerDisconnected)(mv::ConnectionId connection);
    void(MV_CALL *onUserAdded)(mv::ConnectionId connection, mv::UserId user);
    void(MV_CALL *onUserRemoved)(mv::ConnectionId connection, mv::UserId user);
    void(MV_CALL *onChannelEntered)(mv::ConnectionId connection, mv::UserId user, int32_t previous_channel,
                                    int32_t new_channel);
    bool(MV_CALL *onAudioInput)(int16_t *samples, uint32_t sample_count, uint16_t channel_count,
                                uint32_t sample_rate, bool is_speech);
    bool(MV_CALL *onAudioSourceFetched)(float *samples, uint32_t sample_count, uint16_t channel_count,
                                        uint32_t sample_rate, bool is_speech, mv::UserId user);
    bool(MV_CALL *onAudioOutputAboutToPlay)(float *samples, uint32_t sample_count, uint16_t channel_count,
                                            uint32_t sample_rate);
    bool(MV_CALL *hasUpdate)();
    MumbleStringWrapper(MV_CALL *getUpdateDownloadURL)();
};

struct RosterUser {
    mv::UserId id;
    std::string name;
    std::string hash; // certificate hash text; empty when the user has none
};

// How one API slot misbehaves.
enum class Fault {
    none,
    missing,     // the slot is null in the table
    status,      // returns the given non-zero status and hands back nothing
    null_result, // returns 0 but hands back a null pointer (getAllUsers: with
                 // the roster's count); getLocalUserID: 0 without writing
};

struct ApiFault {
    Fault kind = Fault::none;
    mv::ErrorCode status = kStatusNotSynchronised;
    std::optional<mv::UserId> only_user; // user-taking slots: fail for this user only
};

class FakeHost {
  public:
    // Loads the library at library_path (a copy in a TempPluginDir). Only one
    // FakeHost may exist at a time: the API functions reach it through a
    // static pointer.
    explicit FakeHost(const std::string &library_path);
    // Shuts the plugin down if it is still initialised, then unloads it.
    ~FakeHost();
    FakeHost(const FakeHost &) = delete;
    FakeHost &operator=(const FakeHost &) = delete;

    [[nodiscard]] bool loaded() const { return library_.loaded(); }
    [[nodiscard]] const std::string &load_error() const { return library_.error(); }
    // Names of exports that could not be resolved; empty when all 23 were.
    [[nodiscard]] const std::vector<std::string> &missing_exports() const { return missing_; }
    // The resolved exports (null where missing_exports() names them).
    [[nodiscard]] const PluginExports &plugin() const { return exports_; }

    // ---- lifecycle as the host drives it ---------------------------------------
    // Builds the API table on the stack (honouring Fault::missing), passes it,
    // then poisons it: a plugin that kept the pointer instead of copying the
    // table reaches trap functions that contract_violations() reports.
    void register_api();
    mv::ErrorCode init(mv::PluginId id = kDefaultPluginId);
    void shutdown();
    void unload(); // shuts down if needed; exports are unusable afterwards

    // ---- what the API functions answer ------------------------------------------
    void set_connection(mv::ConnectionId connection);
    // The host is already synchronised with that connection: a plugin
    // initialised now gets no synchronisation event, as in the real client.
    void set_synchronised(bool synchronised);
    void set_local_user(mv::UserId id);
    void set_roster(std::vector<RosterUser> users);
    void add_user(RosterUser user);
    void remove_user(mv::UserId id);
    void set_fault(mv::ApiSlot slot, ApiFault fault);

    // Sets the connection, the roster (its first user is the local one),
    // registers the API and initialises, as the host brings a plugin up.
    // False when the library did not load or init failed.
    bool start(std::vector<RosterUser> roster, mv::ConnectionId connection = 1);

    // ---- what the plugin did ------------------------------------------------------
    // Lines passed to the log function, in order.
    [[nodiscard]] std::vector<std::string> log_lines() const;
    // Waits until at least count log lines contain text; false at the deadline.
    bool wait_for_log(std::string_view text, size_t count = 1,
                      std::chrono::milliseconds deadline = kDefaultDeadline) const;
    [[nodiscard]] size_t calls(mv::ApiSlot slot) const;
    // Empty when the plugin kept the host's rules: every pointer handed out
    // released exactly once, no API call after shutdown or with another
    // plugin id, none through the table after registration returned.
    [[nodiscard]] std::vector<std::string> contract_violations() const;

    static constexpr mv::PluginId kDefaultPluginId = 4242;

    // Entry points of the API table; public only so that the C functions in
    // fake_host.cpp can reach them.
    struct Api;

  private:
    // Copies s into a tracked heap block.
    const char *hand_out_string(std::string_view s, std::string what);
    mv::UserId *hand_out_users(const std::vector<mv::UserId> &ids, std::string what);
    mv::ErrorCode release(const void *pointer);
    // Records one call; returns the fault that applies to it.
    ApiFault enter(mv::ApiSlot slot, mv::PluginId id, std::optional<mv::UserId> user);
    const RosterUser *find_user(mv::UserId id) const;

    PluginLibrary library_;
    PluginExports exports_{};
    std::vector<std::string> missing_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool initialised_ = false;
    bool shut_down_ = false;
    mv::PluginId plugin_id_ = 0;
    mv::ConnectionId connection_ = 1;
    bool synchronised_ = false;
    mv::UserId local_user_ = 0;
    std::vector<RosterUser> roster_;
    std::map<size_t, ApiFault> faults_;
    std::vector<std::string> log_;
    std::map<size_t, size_t> calls_;
    // Released blocks stay allocated until the host goes, so their addresses
    // are never reused and a second release is always recognised.
    std::map<const void *, std::string> live_;
    std::map<const void *, size_t> sizes_; // bytes to overwrite on release
    std::set<const void *> released_;
    std::vector<std::unique_ptr<unsigned char[]>> blocks_;
    size_t double_frees_ = 0;
    size_t unknown_frees_ = 0;
    size_t calls_after_shutdown_ = 0;
    size_t wrong_plugin_id_calls_ = 0;
};

} // namespace mvtest
