// Loading, the plugin's lifecycle, and what the host observed.
#include <algorithm>

#include "host/os.h"
#include "host/state.h"

namespace mvhost {

EventLoop &Host::State::loop(HostThread thread) {
    switch (thread) {
    case HostThread::network:
        return network;
    case HostThread::audio:
        return audio;
    case HostThread::main:
        break;
    }
    return main;
}

Host::Host(const std::string &library_path, HostOptions options) : state_(std::make_unique<State>(options)) {
    activate(state_.get());
    State &s = *state_;
    s.on_main([&] {
        s.library_path = library_path;
        s.library = std::make_unique<PluginLibrary>(library_path);
        s.load_error = s.library->error();
        if (s.library->loaded()) s.exports = resolve_exports(*s.library, &s.missing);
    });
}

Host::~Host() {
    unload();
    deactivate(state_.get());
}

bool Host::loaded() const {
    return state_->library != nullptr && state_->library->loaded();
}

const std::string &Host::load_error() const {
    return state_->load_error;
}

const std::vector<std::string> &Host::missing_exports() const {
    return state_->missing;
}

const PluginExports &Host::plugin() const {
    return state_->exports;
}

AnyFn Host::symbol(const char *name) const {
    return loaded() ? state_->library->symbol(name) : nullptr;
}

bool Host::move_and_reload(const std::string &new_path) {
    State &s = *state_;
    bool same = false;
    s.on_main([&] {
        if (!loaded()) return;
        if (std::string error; !os::replace_file(s.library_path, new_path, &error)) {
            s.load_error = error;
            return;
        }
        auto again = std::make_unique<PluginLibrary>(new_path);
        if (!again->loaded()) {
            s.load_error = again->error();
            return;
        }
        same = again->symbol("mumble_init") == s.library->symbol("mumble_init");
        s.library = std::move(again); // the first handle is closed
        s.library_path = new_path;
        s.exports = resolve_exports(*s.library, nullptr);
    });
    return same;
}

PluginInfo Host::info() {
    State &s = *state_;
    PluginInfo info;
    s.on_main([&] {
        const PluginExports &p = s.exports;
        const auto text = [&p](StringWrapper (*fn)()) {
            if (fn == nullptr) return std::string();
            const StringWrapper w = fn();
            std::string out = w.data != nullptr ? std::string(w.data, w.size) : std::string();
            if (w.needsReleasing && p.releaseResource != nullptr) p.releaseResource(w.data);
            return out;
        };
        info.name = text(p.getName);
        info.author = text(p.getAuthor);
        info.description = text(p.getDescription);
        if (p.getVersion != nullptr) info.version = p.getVersion();
        if (p.getAPIVersion != nullptr) info.api_version = p.getAPIVersion();
        if (p.getPluginFunctionsVersion != nullptr) info.functions_version = p.getPluginFunctionsVersion();
        if (p.getFeatures != nullptr) info.features = p.getFeatures();
    });
    return info;
}

void Host::register_api() {
    State &s = *state_;
    if (s.exports.registerAPIFunctions == nullptr) return;
    s.on_main([&s] {
        void *table[kApiSlots];
        fill_api_table(s, table);
        s.exports.registerAPIFunctions(table);
        poison_api_table(table);
    });
}

void Host::State::begin_init(PluginId id) {
    std::lock_guard lock(mutex);
    plugin_id = id; // valid during init
    lifecycle = Lifecycle::initialised;
}

void Host::State::end_init(Status status) {
    // A plugin that failed to start is never shut down, and must not call.
    if (status == kStatusOk) return;
    std::lock_guard lock(mutex);
    lifecycle = Lifecycle::shut_down;
}

Status Host::init(PluginId id) {
    State &s = *state_;
    s.begin_init(id);
    Status status = kStatusOk;
    s.on_main([&] { status = s.exports.init(id); });
    s.end_init(status);
    return status;
}

bool Host::start(PluginId id) {
    State &s = *state_;
    if (s.exports.registerAPIFunctions == nullptr || s.exports.init == nullptr) return false;
    s.begin_init(id);
    Status status = kStatusOk;
    // One frame, as in the client: the table is still on the stack (poisoned)
    // while init runs, so a plugin that kept its pointer reaches the traps.
    s.on_main([&] {
        if (s.exports.setMumbleInfo != nullptr)
            s.exports.setMumbleInfo(kMumbleVersion, kApiVersion, kMinimumApiVersion);
        void *table[kApiSlots];
        fill_api_table(s, table);
        s.exports.registerAPIFunctions(table);
        poison_api_table(table);
        status = s.exports.init(id);
    });
    s.end_init(status);
    return status == kStatusOk;
}

bool Host::start(std::vector<RosterUser> roster, ConnectionId connection) {
    if (!roster.empty()) set_local_user(roster.front().id);
    set_roster(std::move(roster));
    set_connection(connection, ConnectionState::synchronised);
    return start();
}

bool Host::initialised() const {
    std::lock_guard lock(state_->mutex);
    return state_->lifecycle == Lifecycle::initialised;
}

void Host::shutdown() {
    auto nothing = [] {};
    shutdown(FnRef(nothing));
}

void Host::shutdown(FnRef first) {
    State &s = *state_;
    if (!initialised() || s.exports.shutdown == nullptr) return;
    s.on_main([&s, first] {
        first();
        s.exports.shutdown();
    });
    std::lock_guard lock(s.mutex);
    s.lifecycle = Lifecycle::shut_down;
}

void Host::unload() {
    State &s = *state_;
    if (s.library == nullptr) return;
    shutdown();
    s.on_main([&s] {
        s.exports = PluginExports{};
        s.library.reset();
    });
}

void Host::run_on(HostThread thread, FnRef work) {
    state_->loop(thread).run(work);
}

std::vector<std::string> Host::log_lines(size_t first) const {
    std::lock_guard lock(state_->mutex);
    const std::vector<std::string> &log = state_->log;
    return {log.begin() + static_cast<std::ptrdiff_t>(std::min(first, log.size())), log.end()};
}

bool Host::wait_for_log(std::string_view text, size_t count, std::chrono::milliseconds deadline) const {
    std::unique_lock lock(state_->mutex);
    return state_->log_changed.wait_for(lock, deadline, [&] {
        const auto matches =
            std::count_if(state_->log.begin(), state_->log.end(),
                          [&](const std::string &line) { return line.find(text) != std::string::npos; });
        return static_cast<size_t>(matches) >= count;
    });
}

size_t Host::calls(size_t slot) const {
    return slot < kApiSlots ? state_->calls[slot].load() : 0;
}

size_t Host::timeouts() const {
    return state_->timeouts.load();
}

uint64_t Host::handed_out() const {
    std::lock_guard lock(state_->mutex);
    return state_->blocks.handed_out();
}

int64_t Host::outstanding() const {
    std::lock_guard lock(state_->mutex);
    return state_->blocks.outstanding();
}

std::vector<std::string> Host::contract_violations() const {
    const State &s = *state_;
    std::lock_guard lock(s.mutex);
    std::vector<std::string> out;
    s.blocks.report(out);
    const auto count = [&out](size_t n, const char *what) {
        if (n != 0) out.push_back(std::to_string(n) + " " + what);
    };
    count(s.calls_after_shutdown, "API call(s) after shutdown");
    count(s.wrong_plugin_id_calls, "API call(s) with another plugin id");
    count(s.stale_calls.load(), "call(s) through the host's table after registration returned");
    count(s.audio_thread_calls, "API call(s) from the audio thread");
    return out;
}

AudioThreadMark::AudioThreadMark() : saved_(mark_audio_thread(true)) {}

AudioThreadMark::~AudioThreadMark() {
    mark_audio_thread(saved_);
}

} // namespace mvhost
