#include "bench_host.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "probes.h"

namespace mvbench {

namespace {

std::atomic<BenchHost *> g_host{nullptr};
std::atomic<uint64_t> g_handed_out{0};
std::atomic<int64_t> g_outstanding{0};

// The host's own allocations are not the plugin's: they are made as a bench thread.
class AsBench {
  public:
    AsBench() : saved_(thread_role()) { set_thread_role(Role::bench); }
    ~AsBench() { set_thread_role(saved_); }

  private:
    Role saved_;
};

const char *hand_out(const std::string &s) {
    AsBench as_bench;
    char *p = static_cast<char *>(std::malloc(s.size() + 1));
    std::memcpy(p, s.c_str(), s.size() + 1);
    g_handed_out.fetch_add(1);
    g_outstanding.fetch_add(1);
    return p;
}

template <typename T> T symbol(void *handle, const char *name) {
    void *p = dlsym(handle, name);
    if (p == nullptr) throw std::runtime_error(std::string("missing export ") + name);
    T fn;
    std::memcpy(&fn, &p, sizeof fn);
    return fn;
}

} // namespace

struct BenchHost::Api {
    static mv::ErrorCode MV_CALL free_memory(mv::PluginId, const void *p) {
        AsBench as_bench;
        if (p != nullptr) g_outstanding.fetch_sub(1);
        std::free(const_cast<void *>(p));
        return 0;
    }
    static mv::ErrorCode MV_CALL get_local_user_id(mv::PluginId, mv::ConnectionId, mv::UserId *out) {
        *out = g_host.load()->local_;
        return 0;
    }
    static const HostUser *find(mv::UserId id) {
        BenchHost *h = g_host.load();
        for (size_t i = 0; i < h->roster_.size(); ++i)
            if (h->roster_[i].id == id && h->present_[i]) return &h->roster_[i];
        return nullptr;
    }
    static mv::ErrorCode MV_CALL get_user_name(mv::PluginId, mv::ConnectionId, mv::UserId id,
                                               const char **out) {
        const HostUser *u = find(id);
        if (u == nullptr) return 3;
        *out = hand_out(u->name);
        return 0;
    }
    static mv::ErrorCode MV_CALL get_user_hash(mv::PluginId, mv::ConnectionId, mv::UserId id,
                                               const char **out) {
        const HostUser *u = find(id);
        if (u == nullptr) return 3;
        *out = hand_out(u->hash);
        return 0;
    }
    static mv::ErrorCode MV_CALL get_all_users(mv::PluginId, mv::ConnectionId, mv::UserId **users,
                                               size_t *count) {
        AsBench as_bench;
        BenchHost *h = g_host.load();
        auto *ids = static_cast<mv::UserId *>(std::malloc(sizeof(mv::UserId) * (h->roster_.size() + 1)));
        size_t n = 0;
        for (size_t i = 0; i < h->roster_.size(); ++i)
            if (h->present_[i]) ids[n++] = h->roster_[i].id;
        g_handed_out.fetch_add(1);
        g_outstanding.fetch_add(1);
        *users = ids;
        *count = n;
        return 0;
    }
    static mv::ErrorCode MV_CALL log(mv::PluginId, const char *) { return 0; }
};

BenchHost::BenchHost() {
    namespace fs = std::filesystem;
    char pattern[] = "/tmp/mv-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp");
    dir_ = pattern;
    const fs::path source(MV_PLUGIN_LIBRARY);
    library_path_ = dir_ + "/" + source.filename().string();
    fs::copy_file(source, library_path_);
    // RTLD_LOCAL, as the host loads plugins.
    handle_ = dlopen(library_path_.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) throw std::runtime_error(dlerror());
    exports_.registerAPIFunctions =
        symbol<decltype(exports_.registerAPIFunctions)>(handle_, "mumble_registerAPIFunctions");
    exports_.init = symbol<decltype(exports_.init)>(handle_, "mumble_init");
    exports_.shutdown = symbol<decltype(exports_.shutdown)>(handle_, "mumble_shutdown");
    exports_.onServerSynchronized =
        symbol<decltype(exports_.onServerSynchronized)>(handle_, "mumble_onServerSynchronized");
    exports_.onServerDisconnected =
        symbol<decltype(exports_.onServerDisconnected)>(handle_, "mumble_onServerDisconnected");
    exports_.onUserAdded = symbol<decltype(exports_.onUserAdded)>(handle_, "mumble_onUserAdded");
    exports_.onUserRemoved = symbol<decltype(exports_.onUserRemoved)>(handle_, "mumble_onUserRemoved");
    exports_.onAudioSourceFetched =
        symbol<decltype(exports_.onAudioSourceFetched)>(handle_, "mumble_onAudioSourceFetched");
    g_host.store(this);
}

BenchHost::~BenchHost() {
    stop();
    g_host.store(nullptr);
    // The library stays loaded: a worker that outlived its stop may still hold it.
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

void BenchHost::write_settings(int port, int reconnect_sec, bool debug_log) const {
    std::ofstream out(dir_ + "/marlpike_voice.ini", std::ios::trunc);
    out << "server_host=127.0.0.1\nserver_port=" << port
        << "\napi_key=bench-key\nenabled=1\ndebug_log=" << (debug_log ? 1 : 0)
        << "\nreconnect_sec=" << reconnect_sec << "\n";
}

void BenchHost::start() {
    void *table[mv::kApiTableSlots] = {};
    auto slot = [&](size_t i, auto fn) { table[i] = reinterpret_cast<void *>(fn); };
    slot(mv::kSlotFreeMemory, &Api::free_memory);
    slot(mv::kSlotGetLocalUserId, &Api::get_local_user_id);
    slot(mv::kSlotGetUserName, &Api::get_user_name);
    slot(mv::kSlotGetAllUsers, &Api::get_all_users);
    slot(mv::kSlotGetUserHash, &Api::get_user_hash);
    slot(mv::kSlotLog, &Api::log);
    exports_.registerAPIFunctions(table);
    exports_.init(4242);
    started_ = true;
}

void BenchHost::stop() {
    if (started_) exports_.shutdown();
    started_ = false;
}

void BenchHost::set_roster(std::vector<HostUser> users, mv::UserId local) {
    roster_ = std::move(users);
    present_.assign(roster_.size(), true);
    local_ = local;
}

void BenchHost::set_user_present(size_t index, bool present) {
    present_[index] = present;
}

uint64_t BenchHost::handed_out() const {
    return g_handed_out.load();
}
int64_t BenchHost::outstanding() const {
    return g_outstanding.load();
}

long resident_kb() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            long kb = 0;
            status >> kb;
            return kb;
        }
        status.ignore(4096, '\n');
    }
    return -1;
}

} // namespace mvbench
