// A minimal host for the plugin benches: loads a copy of the built plugin
// library from its own temporary directory, resolves the exports the benches
// drive, and answers the plugin's six API calls over a roster. Unlike the test
// suite's fake host it frees what the plugin releases at once, so that a long
// session shows the plugin's heap use and not the host's bookkeeping.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "state/host_api.h"

namespace mvbench {

struct PluginExports {
    void(MV_CALL *registerAPIFunctions)(void *api);
    mv::ErrorCode(MV_CALL *init)(mv::PluginId id);
    void(MV_CALL *shutdown)();
    void(MV_CALL *onServerSynchronized)(mv::ConnectionId connection);
    void(MV_CALL *onServerDisconnected)(mv::ConnectionId connection);
    void(MV_CALL *onUserAdded)(mv::ConnectionId connection, mv::UserId user);
    void(MV_CALL *onUserRemoved)(mv::ConnectionId connection, mv::UserId user);
    bool(MV_CALL *onAudioSourceFetched)(float *pcm, uint32_t frames, uint16_t channels, uint32_t rate,
                                        bool is_speech, mv::UserId user);
};

struct HostUser {
    mv::UserId id;
    std::string name;
    std::string hash;
};

class BenchHost {
  public:
    static constexpr mv::ConnectionId kConnection = 1;

    BenchHost(); // copies and loads the library; throws on failure
    ~BenchHost();
    BenchHost(const BenchHost &) = delete;
    BenchHost &operator=(const BenchHost &) = delete;

    [[nodiscard]] const PluginExports &plugin() const { return exports_; }
    [[nodiscard]] const std::string &library_path() const { return library_path_; }
    [[nodiscard]] const std::string &dir() const { return dir_; }

    // marlpike_voice.ini beside the library; read by the next init.
    void write_settings(int port, int reconnect_sec, bool debug_log) const;
    // Registers the API table and inits the plugin.
    void start();
    void stop(); // shutdown

    // The roster the API answers from. Change it only while no export runs.
    void set_roster(std::vector<HostUser> users, mv::UserId local);
    [[nodiscard]] size_t roster_size() const { return roster_.size(); }
    void set_user_present(size_t index, bool present);

    // Blocks the API handed out (strings and arrays), and how many are not
    // released yet.
    [[nodiscard]] uint64_t handed_out() const;
    [[nodiscard]] int64_t outstanding() const;

    struct Api;

  private:
    std::string dir_;
    std::string library_path_;
    void *handle_ = nullptr;
    PluginExports exports_{};
    std::vector<HostUser> roster_;
    std::vector<bool> present_;
    mv::UserId local_ = 0;
    bool started_ = false;
};

// Resident set size of this process, in kilobytes.
[[nodiscard]] long resident_kb();

} // namespace mvbench
