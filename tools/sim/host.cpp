#include "host.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <utility>

namespace mvtools {
namespace {

SimHost *g_host = nullptr;
std::atomic<size_t> g_stale_calls{0};
std::atomic<size_t> g_unknown_slot_calls{0};

template <typename Fn> void resolve(void *lib, const char *name, Fn *out, std::vector<std::string> *missing) {
    void *address = dlsym(lib, name);
    static_assert(sizeof(Fn) == sizeof address);
    std::memcpy(out, &address, sizeof address);
    if (address == nullptr && missing != nullptr) missing->push_back(name);
}

// Slots that this plugin is not meant to call answer with an error; the
// arguments are not read, so one signature serves them all.
template <size_t N> int32_t unused_slot() {
    ++g_unknown_slot_calls;
    return kGenericError;
}
template <size_t... N> void fill_unused(void **table, std::index_sequence<N...>) {
    ((table[N] = reinterpret_cast<void *>(&unused_slot<N>)), ...);
}

int32_t stale_slot() {
    ++g_stale_calls;
    return kGenericError;
}

} // namespace

struct SimHost::Api {
    static int32_t freeMemory(uint32_t id, const void *p) {
        return g_host->run_call(id, false, 0, [p] { return g_host->release(p); });
    }
    static int32_t getLocalUserID(uint32_t id, int32_t conn, uint32_t *out) {
        return g_host->run_call(id, true, conn, [out] {
            if (out == nullptr) return kGenericError;
            *out = g_host->local_user_;
            return kOk;
        });
    }
    static int32_t getUserName(uint32_t id, int32_t conn, uint32_t user, const char **out) {
        return g_host->run_call(id, true, conn, [user, out] {
            const HostUser *u = g_host->user(user);
            if (u == nullptr) return kNoSuchUser;
            *out = g_host->hand_out(u->name);
            return kOk;
        });
    }
    static int32_t getAllUsers(uint32_t id, int32_t conn, uint32_t **out, size_t *count) {
        return g_host->run_call(id, true, conn, [out, count] {
            std::vector<uint32_t> ids;
            for (const HostUser &u : g_host->users_)
                ids.push_back(u.id);
            *out = g_host->hand_out_ids(ids);
            *count = ids.size();
            return kOk;
        });
    }
    static int32_t getUserHash(uint32_t id, int32_t conn, uint32_t user, const char **out) {
        return g_host->run_call(id, true, conn, [user, out] {
            const HostUser *u = g_host->user(user);
            if (u == nullptr) return kNoSuchUser;
            *out = g_host->hand_out(u->hash);
            return kOk;
        });
    }
    static int32_t log(uint32_t id, const char *text) {
        const std::string line = text != nullptr ? text : "(null)";
        return g_host->run_call(id, false, 0, [line] {
            g_host->log_.push_back(line);
            return kOk;
        });
    }
};

SimHost::SimHost() : main_thread_(std::this_thread::get_id()) {
    g_host = this;
}

SimHost::~SimHost() {
    unload();
    for (const auto &[p, what] : live_)
        std::free(const_cast<void *>(p));
    for (const void *p : freed_)
        std::free(const_cast<void *>(p));
    g_host = nullptr;
}

bool SimHost::load(const std::string &path, std::string *error) {
    // RTLD_LOCAL keeps the plugin's symbols to itself, as the host loads it.
    lib_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (lib_ == nullptr) {
        const char *why = dlerror();
        *error = why != nullptr ? why : "dlopen failed";
        return false;
    }
    auto *m = &missing_;
    resolve(lib_, "mumble_getPluginFunctionsVersion", &fn_.getPluginFunctionsVersion, m);
    resolve(lib_, "mumble_getAPIVersion", &fn_.getAPIVersion, m);
    resolve(lib_, "mumble_getVersion", &fn_.getVersion, m);
    resolve(lib_, "mumble_getName", &fn_.getName, m);
    resolve(lib_, "mumble_getAuthor", &fn_.getAuthor, m);
    resolve(lib_, "mumble_getDescription", &fn_.getDescription, m);
    resolve(lib_, "mumble_getFeatures", &fn_.getFeatures, m);
    resolve(lib_, "mumble_deactivateFeatures", &fn_.deactivateFeatures, m);
    resolve(lib_, "mumble_registerAPIFunctions", &fn_.registerAPIFunctions, m);
    resolve(lib_, "mumble_setMumbleInfo", &fn_.setMumbleInfo, m);
    resolve(lib_, "mumble_releaseResource", &fn_.releaseResource, m);
    resolve(lib_, "mumble_init", &fn_.init, m);
    resolve(lib_, "mumble_shutdown", &fn_.shutdown, m);
    resolve(lib_, "mumble_onServerConnected", &fn_.onServerConnected, nullptr);
    resolve(lib_, "mumble_onServerSynchronized", &fn_.onServerSynchronized, m);
    resolve(lib_, "mumble_onServerDisconnected", &fn_.onServerDisconnected, m);
    resolve(lib_, "mumble_onUserAdded", &fn_.onUserAdded, m);
    resolve(lib_, "mumble_onUserRemoved", &fn_.onUserRemoved, m);
    resolve(lib_, "mumble_onChannelEntered", &fn_.onChannelEntered, m);
    resolve(lib_, "mumble_onAudioInput", &fn_.onAudioInput, m);
    resolve(lib_, "mumble_onAudioSourceFetched", &fn_.onAudioSourceFetched, m);
    resolve(lib_, "mumble_onAudioOutputAboutToPlay", &fn_.onAudioOutputAboutToPlay, m);
    resolve(lib_, "mumble_hasUpdate", &fn_.hasUpdate, m);
    resolve(lib_, "mumble_getUpdateDownloadURL", &fn_.getUpdateDownloadURL, m);
    // The host refuses a plugin without these; the rest it can do without.
    if (fn_.init == nullptr || fn_.shutdown == nullptr || fn_.getName == nullptr ||
        fn_.getAPIVersion == nullptr || fn_.registerAPIFunctions == nullptr) {
        *error = "not a plugin: required exports are missing";
        return false;
    }
    return true;
}

PluginInfo SimHost::info() const {
    PluginInfo i;
    auto text = [](HostString (*f)()) {
        if (f == nullptr) return std::string("(missing)");
        const HostString s = f();
        return s.data != nullptr ? std::string(s.data, s.size) : std::string("(null)");
    };
    i.name = text(fn_.getName);
    i.author = text(fn_.getAuthor);
    i.description = text(fn_.getDescription);
    if (fn_.getVersion != nullptr) i.version = fn_.getVersion();
    if (fn_.getAPIVersion != nullptr) i.api_version = fn_.getAPIVersion();
    if (fn_.getPluginFunctionsVersion != nullptr) i.functions_version = fn_.getPluginFunctionsVersion();
    if (fn_.getFeatures != nullptr) i.features = fn_.getFeatures();
    return i;
}

int32_t SimHost::start(uint32_t plugin_id) {
    {
        std::lock_guard lock(mutex_);
        plugin_id_ = plugin_id;
        shut_down_ = false;
    }
    {
        void *table[kApiSlots];
        fill_unused(table, std::make_index_sequence<kApiSlots>{});
        table[0] = reinterpret_cast<void *>(&Api::freeMemory);
        table[3] = reinterpret_cast<void *>(&Api::getLocalUserID);
        table[4] = reinterpret_cast<void *>(&Api::getUserName);
        table[6] = reinterpret_cast<void *>(&Api::getAllUsers);
        table[14] = reinterpret_cast<void *>(&Api::getUserHash);
        table[36] = reinterpret_cast<void *>(&Api::log);
        fn_.registerAPIFunctions(table);
        // The table lives on our stack: a plugin that kept the pointer
        // instead of copying it now reaches these.
        for (void *&slot : table)
            slot = reinterpret_cast<void *>(&stale_slot);
        std::atomic_signal_fence(std::memory_order_seq_cst);
    }
    if (fn_.setMumbleInfo != nullptr) fn_.setMumbleInfo({1, 5, 735}, {1, 2, 0}, {1, 0, 0});
    const int32_t rc = fn_.init(plugin_id);
    std::lock_guard lock(mutex_);
    initialised_ = true;
    return rc;
}

void SimHost::join(int32_t connection, uint32_t local_user, std::vector<HostUser> users) {
    {
        std::lock_guard lock(mutex_);
        connection_ = connection;
        local_user_ = local_user;
        users_ = std::move(users);
        synced_ = false;
    }
    if (fn_.onServerConnected != nullptr) fn_.onServerConnected(connection);
    std::vector<uint32_t> ids;
    {
        std::lock_guard lock(mutex_);
        for (const HostUser &u : users_)
            ids.push_back(u.id);
    }
    for (uint32_t id : ids) {
        if (fn_.onUserAdded != nullptr) fn_.onUserAdded(connection, id);
        if (fn_.onChannelEntered != nullptr) fn_.onChannelEntered(connection, id, -1, 0);
    }
    {
        std::lock_guard lock(mutex_);
        synced_ = true;
    }
    if (fn_.onServerSynchronized != nullptr) fn_.onServerSynchronized(connection);
}

void SimHost::serve_until_done(std::thread &t, const std::atomic<bool> &done) {
    while (!done.load()) {
        serve();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    t.join();
    serve();
}

void SimHost::leave() {
    int32_t connection = 0;
    {
        std::lock_guard lock(mutex_);
        connection = connection_;
        synced_ = false;
    }
    if (fn_.onServerDisconnected == nullptr) return;
    std::atomic<bool> done{false};
    std::thread network([this, connection, &done] {
        fn_.onServerDisconnected(connection);
        done.store(true);
    });
    serve_until_done(network, done);
    std::lock_guard lock(mutex_);
    connection_ = -1;
}

void SimHost::stop() {
    if (!initialised_) return;
    fn_.shutdown();
    serve();
    std::lock_guard lock(mutex_);
    initialised_ = false;
    shut_down_ = true;
}

void SimHost::unload() {
    if (lib_ == nullptr) return;
    stop();
    dlclose(lib_);
    lib_ = nullptr;
    fn_ = {};
}

void SimHost::mark_audio_thread() {
    audio_thread_.store(std::this_thread::get_id());
}

void SimHost::serve() {
    for (;;) {
        Task *task = nullptr;
        {
            std::lock_guard lock(mutex_);
            if (queue_.empty()) return;
            task = queue_.front();
            queue_.pop_front();
        }
        const int32_t result = task->f();
        {
            std::lock_guard lock(mutex_);
            task->result = result;
            task->done = true;
        }
        cv_.notify_all();
    }
}

int32_t SimHost::on_main(const std::function<int32_t()> &f) {
    if (std::this_thread::get_id() == main_thread_) return f();
    Task task{f};
    std::unique_lock lock(mutex_);
    queue_.push_back(&task);
    if (cv_.wait_for(lock, std::chrono::milliseconds(800), [&] { return task.done; })) return task.result;
    // Not served in time: withdraw the request, as the host gives up on it.
    for (auto it = queue_.begin(); it != queue_.end(); ++it)
        if (*it == &task) {
            queue_.erase(it);
            ++api_timeouts_;
            return kTimedOut;
        }
    cv_.wait(lock, [&] { return task.done; }); // being served right now
    return task.result;
}

int32_t SimHost::run_call(uint32_t plugin_id, bool needs_sync, int32_t connection,
                          const std::function<int32_t()> &f) {
    ++api_calls_;
    {
        std::lock_guard lock(mutex_);
        if (shut_down_) problems_.push_back("API called after mumble_shutdown");
        if (plugin_id != plugin_id_) problems_.push_back("API called with a wrong plugin id");
        if (std::this_thread::get_id() == audio_thread_.load())
            problems_.push_back("API called from the audio thread");
    }
    return on_main([&]() -> int32_t {
        if (needs_sync) {
            if (connection != connection_) return kNoSuchConnection;
            if (!synced_) return kNotSynchronised;
        }
        return f();
    });
}

const char *SimHost::hand_out(const std::string &s) {
    char *p = static_cast<char *>(std::malloc(s.size() + 1));
    std::memcpy(p, s.c_str(), s.size() + 1);
    live_[p] = "string '" + s + "'";
    return p;
}

uint32_t *SimHost::hand_out_ids(const std::vector<uint32_t> &ids) {
    auto *p = static_cast<uint32_t *>(std::malloc(sizeof(uint32_t) * (ids.size() + 1)));
    std::memcpy(p, ids.data(), sizeof(uint32_t) * ids.size());
    live_[p] = "user id array of " + std::to_string(ids.size());
    return p;
}

int32_t SimHost::release(const void *p) {
    // Called on the main thread, which owns these maps.
    const auto it = live_.find(p);
    if (it == live_.end()) {
        std::lock_guard lock(mutex_);
        problems_.push_back(freed_.count(p) != 0 ? "a pointer was released twice"
                                                 : "freeMemory got a pointer the host never handed out");
        return kGenericError;
    }
    live_.erase(it);
    freed_.insert(p); // kept allocated so that the address is never reused
    return kOk;
}

const HostUser *SimHost::user(uint32_t id) const {
    for (const HostUser &u : users_)
        if (u.id == id) return &u;
    return nullptr;
}

std::vector<std::string> SimHost::take_log() {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    out.swap(log_);
    return out;
}

std::vector<std::string> SimHost::violations() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    std::set<std::string> seen;
    for (const std::string &p : problems_)
        if (seen.insert(p).second) out.push_back(p);
    if (shut_down_)
        for (const auto &[p, what] : live_)
            out.push_back("never released: " + what);
    if (g_stale_calls.load() != 0)
        out.push_back("API called through the table after registration (not copied)");
    if (g_unknown_slot_calls.load() != 0)
        out.push_back(std::to_string(g_unknown_slot_calls.load()) +
                      " calls to API slots the simulator does not serve");
    return out;
}

} // namespace mvtools
