#include "fake_host.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <stdexcept>
#include <type_traits>

namespace mvtest {
namespace {

// The API functions are plain function pointers with no context argument, so
// they reach the one live FakeHost through this.
std::atomic<FakeHost *> g_active{nullptr};

constexpr unsigned char kReleasedByte = 0xDD;

template <typename Fn> void *as_slot(Fn fn) {
    return reinterpret_cast<void *>(fn);
}

} // namespace

struct FakeHost::Api {
    static mv::ErrorCode MV_CALL free_memory(mv::PluginId id, const void *pointer) {
        FakeHost *host = g_active.load();
        if (host == nullptr) return kStatusTimedOut;
        std::lock_guard lock(host->mutex_);
        const ApiFault fault = host->enter(mv::kSlotFreeMemory, id, std::nullopt);
        const mv::ErrorCode status = host->release(pointer);
        return fault.kind == Fault::status ? fault.status : status;
    }

    // What a plugin enabled mid-session asks to find the server it is on.
    static mv::ErrorCode MV_CALL get_active_server_connection(mv::PluginId id, mv::ConnectionId *out) {
        FakeHost *host = g_active.load();
        if (host == nullptr) return kStatusTimedOut;
        std::lock_guard lock(host->mutex_);
        const ApiFault fault = host->enter(mv::kSlotGetActiveServerConnection, id, std::nullopt);
        if (fault.kind == Fault::status) return fault.status;
        if (host->connection_ < 0) return kStatusNoSuchConnection;
        *out = host->connection_;
        return kStatusOk;
    }

    static mv::ErrorCode MV_CALL is_connection_synchronized(mv::PluginId id, mv::ConnectionId connection,
                                                            bool *out) {
        FakeHost *host = g_active.load();
        if (host == nullptr) return kStatusTimedOut;
        std::lock_guard lock(host->mutex_);
        const ApiFault fault = host->enter(mv::kSlotIsConnectionSynchronized, id, std::nullopt);
        if (fault.kind == Fault::status) return fault.status;
        if (connection != host->connection_) return kStatusConnectionNotFound;
        *out = host->synchronised_;
        return kStatusOk;
    }

    static mv::ErrorCode MV_CALL get_local_user_id(mv::PluginId id, mv::ConnectionId connection,
                                                   mv::UserId *out) {
        FakeHost *host = g_active.load();
        if (host == nullptr) return kStatusTimedOut;
        std::lock_guard lock(host->mutex_);
        const ApiFault fault = host->enter(mv::kSlotGetLocalUserId, id, std::nullopt);
        if (fault.kind == Fault::status) return fault.status;
        if (fault.kind == Fault::null_result) return kStatusOk;
        if (connection != host->connection_) return kStatusNoSuchConnection;
        *out = host->local_user_;
        return kStatusOk;
    }

    // getUserName and getUserHash differ only in the field they hand out.
    static mv::ErrorCode user_string(mv::ApiSlot slot, mv::PluginId id, mv::ConnectionId connection,
                                     mv::UserId user, const char **out) {
        FakeHost *host = g_active.load();
        if (host == nullptr) return kStatusTimedOut;
        std::lock_guard lock(host->mutex_);
        const ApiFault fault = host->enter(slot, id, user);
        if (fault.kind == Fault::status) return fault.status;
        if (fault.kind == Fault::null_result) {
            *out = nullptr;
            return kStatusOk;
        }
        if (connection != host->connection_) return kStatusNoSuchConnection;
        const RosterUser *found = host->find_user(user);
        if (found == nullptr) return kStatusNoSuchUser;
        const bool name = slot == mv::kSlotGetUserName;
        *out =
            host->hand_out_string(name ? found->name : found->hash,
                                  (name ? "getUserName user=" : "getUserHash user=") + std::to_string(user));
        return kStatusOk;
    }

    static mv::ErrorCode MV_CALL get_user_name(mv::PluginId id, mv::ConnectionId connection, mv::UserId user,
                                               const char **out) {
        return user_string(mv::kSlotGetUserName, id, connection, user, out);
    }

    static mv::ErrorCode MV_CALL get_user_hash(mv::PluginId id, mv::ConnectionId connection, mv::UserId user,
                                               const char **out) {
        return user_string(mv::kSlotGetUserHash, id, connection, user, out);
    }

    static mv::ErrorCode MV_CALL get_all_users(mv::PluginId id, mv::ConnectionId connection,
                                               mv::UserId **users, size_t *count) {
        FakeHost *host = g_active.load();
        if (host == nullptr) return kStatusTimedOut;
        std::lock_guard lock(host->mutex_);
        const ApiFault fault = host->enter(mv::kSlotGetAllUsers, id, std::nullopt);
        if (fault.kind == Fault::status) return fault.status;
        if (fault.kind == Fault::null_result) {
            *users = nullptr;
            *count = host->roster_.size();
            return kStatusOk;
        }
        if (connection != host->connection_) return kStatusNoSuchConnection;
        std::vector<mv::UserId> ids;
        for (const RosterUser &user : host->roster_)
            ids.push_back(user.id);
        *users = host->hand_out_users(ids, "getAllUsers count=" + std::to_string(ids.size()));
        *count = ids.size();
        return kStatusOk;
    }

    static mv::ErrorCode MV_CALL log(mv::PluginId id, const char *message) {
        FakeHost *host = g_active.load();
        if (host == nullptr) return kStatusTimedOut;
        {
            std::lock_guard lock(host->mutex_);
            const ApiFault fault = host->enter(mv::kSlotLog, id, std::nullopt);
            if (fault.kind == Fault::status) return fault.status;
            host->log_.emplace_back(message != nullptr ? message : "");
        }
        host->changed_.notify_all();
        return kStatusOk;
    }

    // Every slot of a table that the plugin should have copied points here
    // once registration returns. Called through the plugin's own typed
    // pointer; it reads no arguments, and both calling conventions leave the
    // stack to the caller.
    static mv::ErrorCode MV_CALL stale_table() {
        FakeHost *host = g_active.load();
        if (host != nullptr) {
            std::lock_guard lock(host->mutex_);
            ++host->calls_[kStaleSlot];
        }
        return kStatusTimedOut;
    }

    static constexpr size_t kStaleSlot = 1000;
};

FakeHost::FakeHost(const std::string &library_path) : library_(library_path) {
    FakeHost *expected = nullptr;
    if (!g_active.compare_exchange_strong(expected, this)) {
        throw std::logic_error("only one FakeHost may exist at a time");
    }
    const auto bind = [this](auto &slot, const char *name) {
        slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(library_.symbol(name));
        if (slot == nullptr) missing_.emplace_back(name);
    };
    bind(exports_.getPluginFunctionsVersion, "mumble_getPluginFunctionsVersion");
    bind(exports_.getAPIVersion, "mumble_getAPIVersion");
    bind(exports_.getVersion, "mumble_getVersion");
    bind(exports_.getName, "mumble_getName");
    bind(exports_.getAuthor, "mumble_getAuthor");
    bind(exports_.getDescription, "mumble_getDescription");
    bind(exports_.getFeatures, "mumble_getFeatures");
    bind(exports_.deactivateFeatures, "mumble_deactivateFeatures");
    bind(exports_.registerAPIFunctions, "mumble_registerAPIFunctions");
    bind(exports_.setMumbleInfo, "mumble_setMumbleInfo");
    bind(exports_.releaseResource, "mumble_releaseResource");
    bind(exports_.init, "mumble_init");
    bind(exports_.shutdown, "mumble_shutdown");
    bind(exports_.onServerSynchronized, "mumble_onServerSynchronized");
    bind(exports_.onServerDisconnected, "mumble_onServerDisconnected");
    bind(exports_.onUserAdded, "mumble_onUserAdded");
    bind(exports_.onUserRemoved, "mumble_onUserRemoved");
    bind(exports_.onChannelEntered, "mumble_onChannelEntered");
    bind(exports_.onAudioInput, "mumble_onAudioInput");
    bind(exports_.onAudioSourceFetched, "mumble_onAudioSourceFetched");
    bind(exports_.onAudioOutputAboutToPlay, "mumble_onAudioOutputAboutToPlay");
    bind(exports_.hasUpdate, "mumble_hasUpdate");
    bind(exports_.getUpdateDownloadURL, "mumble_getUpdateDownloadURL");
}

FakeHost::~FakeHost() {
    unload();
    g_active.store(nullptr);
}

void FakeHost::unload() {
    bool initialised;
    {
        std::lock_guard lock(mutex_);
        initialised = initialised_;
    }
    if (initialised && library_.loaded()) shutdown();
    library_.unload();
    exports_ = PluginExports{};
}

void FakeHost::register_api() {
    void *table[mv::kApiTableSlots] = {};
    {
        std::lock_guard lock(mutex_);
        const auto put = [&](mv::ApiSlot slot, void *fn) {
            const auto fault = faults_.find(slot);
            table[slot] = fault != faults_.end() && fault->second.kind == Fault::missing ? nullptr : fn;
        };
        put(mv::kSlotFreeMemory, as_slot(&Api::free_memory));
        put(mv::kSlotGetActiveServerConnection, as_slot(&Api::get_active_server_connection));
        put(mv::kSlotIsConnectionSynchronized, as_slot(&Api::is_connection_synchronized));
        put(mv::kSlotGetLocalUserId, as_slot(&Api::get_local_user_id));
        put(mv::kSlotGetUserName, as_slot(&Api::get_user_name));
        put(mv::kSlotGetAllUsers, as_slot(&Api::get_all_users));
        put(mv::kSlotGetUserHash, as_slot(&Api::get_user_hash));
        put(mv::kSlotLog, as_slot(&Api::log));
    }
    exports_.registerAPIFunctions(table);
    // The table lived on the host's stack only for the call. Volatile stores so
    // that the compiler keeps them although the table is dead afterwards.
    void *volatile *poisoned = table;
    for (size_t i = 0; i < mv::kApiTableSlots; ++i)
        poisoned[i] = as_slot(&Api::stale_table);
}

mv::ErrorCode FakeHost::init(mv::PluginId id) {
    {
        std::lock_guard lock(mutex_);
        initialised_ = true;
        shut_down_ = false;
        plugin_id_ = id;
    }
    return exports_.init(id);
}

void FakeHost::shutdown() {
    exports_.shutdown();
    std::lock_guard lock(mutex_);
    initialised_ = false;
    shut_down_ = true;
}

void FakeHost::set_connection(mv::ConnectionId connection) {
    std::lock_guard lock(mutex_);
    connection_ = connection;
}

void FakeHost::set_synchronised(bool synchronised) {
    std::lock_guard lock(mutex_);
    synchronised_ = synchronised;
}

void FakeHost::set_local_user(mv::UserId id) {
    std::lock_guard lock(mutex_);
    local_user_ = id;
}

void FakeHost::set_roster(std::vector<RosterUser> users) {
    std::lock_guard lock(mutex_);
    roster_ = std::move(users);
}

void FakeHost::add_user(RosterUser user) {
    std::lock_guard lock(mutex_);
    roster_.push_back(std::move(user));
}

void FakeHost::remove_user(mv::UserId id) {
    std::lock_guard lock(mutex_);
    std::erase_if(roster_, [id](const RosterUser &user) { return user.id == id; });
}

void FakeHost::set_fault(mv::ApiSlot slot, ApiFault fault) {
    std::lock_guard lock(mutex_);
    faults_[slot] = fault;
}

bool FakeHost::start(std::vector<RosterUser> roster, mv::ConnectionId connection) {
    if (!loaded()) return false;
    set_connection(connection);
    if (!roster.empty()) set_local_user(roster.front().id);
    set_roster(std::move(roster));
    register_api();
    return init() == 0;
}

std::vector<std::string> FakeHost::log_lines() const {
    std::lock_guard lock(mutex_);
    return log_;
}

bool FakeHost::wait_for_log(std::string_view text, size_t count, std::chrono::milliseconds deadline) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, deadline, [&] {
        return static_cast<size_t>(std::count_if(log_.begin(), log_.end(), [&](const std::string &line) {
                   return line.find(text) != std::string::npos;
               })) >= count;
    });
}

size_t FakeHost::calls(mv::ApiSlot slot) const {
    std::lock_guard lock(mutex_);
    const auto it = calls_.find(slot);
    return it == calls_.end() ? 0 : it->second;
}

std::vector<std::string> FakeHost::contract_violations() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto &[pointer, what] : live_)
        out.push_back("never released: " + what);
    const auto count = [&out](size_t n, const char *what) {
        if (n != 0) out.push_back(std::to_string(n) + " " + what);
    };
    const auto stale = calls_.find(Api::kStaleSlot);
    count(double_frees_, "double release(s)");
    count(unknown_frees_, "release(s) of pointers the host never handed out");
    count(calls_after_shutdown_, "API call(s) after shutdown");
    count(wrong_plugin_id_calls_, "API call(s) with a wrong plugin id");
    count(stale == calls_.end() ? 0 : stale->second,
          "call(s) through the host's table after registration returned");
    return out;
}

const char *FakeHost::hand_out_string(std::string_view s, std::string what) {
    auto block = std::make_unique<unsigned char[]>(s.size() + 1);
    std::memcpy(block.get(), s.data(), s.size());
    block[s.size()] = '\0';
    const char *pointer = reinterpret_cast<const char *>(block.get());
    live_.emplace(pointer, std::move(what));
    sizes_.emplace(pointer, s.size());
    blocks_.push_back(std::move(block));
    return pointer;
}

mv::UserId *FakeHost::hand_out_users(const std::vector<mv::UserId> &ids, std::string what) {
    // Never a zero-sized block: an empty roster still gets a non-null array.
    const size_t bytes = std::max<size_t>(1, ids.size()) * sizeof(mv::UserId);
    auto block = std::make_unique<unsigned char[]>(bytes);
    if (!ids.empty()) std::memcpy(block.get(), ids.data(), ids.size() * sizeof(mv::UserId));
    auto *pointer = reinterpret_cast<mv::UserId *>(block.get());
    live_.emplace(pointer, std::move(what));
    sizes_.emplace(pointer, bytes);
    blocks_.push_back(std::move(block));
    return pointer;
}

mv::ErrorCode FakeHost::release(const void *pointer) {
    if (pointer == nullptr) return kStatusOk;
    const auto it = live_.find(pointer);
    if (it != live_.end()) {
        // Overwrite what was handed out so that a use after release shows.
        // Strings keep their terminator; arrays become ids that match no one.
        std::memset(const_cast<void *>(pointer), kReleasedByte, sizes_[pointer]);
        live_.erase(it);
        released_.insert(pointer);
        return kStatusOk;
    }
    if (released_.count(pointer) != 0) {
        ++double_frees_;
    } else {
        ++unknown_frees_;
    }
    return kStatusOk;
}

ApiFault FakeHost::enter(mv::ApiSlot slot, mv::PluginId id, std::optional<mv::UserId> user) {
    ++calls_[slot];
    if (shut_down_ && !initialised_) ++calls_after_shutdown_;
    if ((initialised_ || shut_down_) && id != plugin_id_) ++wrong_plugin_id_calls_;
    const auto it = faults_.find(slot);
    if (it == faults_.end()) return {};
    if (it->second.only_user && (!user || *user != *it->second.only_user)) return {};
    return it->second;
}

const RosterUser *FakeHost::find_user(mv::UserId id) const {
    for (const RosterUser &user : roster_) {
        if (user.id == id) return &user;
    }
    return nullptr;
}

} // namespace mvtest
