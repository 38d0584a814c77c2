#include "host/plugin_library.h"

#include <type_traits>

namespace mvhost {

PluginLibrary::PluginLibrary(const std::string &utf8_path) : handle_(os::library_open(utf8_path, &error_)) {}

PluginLibrary::~PluginLibrary() {
    close();
}

AnyFn PluginLibrary::symbol(const char *name) const {
    return handle_ != nullptr ? os::library_symbol(handle_, name) : nullptr;
}

void PluginLibrary::close() {
    if (handle_ != nullptr) os::library_close(handle_);
    handle_ = nullptr;
}

PluginExports resolve_exports(const PluginLibrary &library, std::vector<std::string> *missing) {
    PluginExports e{};
    const auto bind = [&](auto &fn, const char *name, bool required = true) {
        fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(library.symbol(name));
        if (fn == nullptr && required && missing != nullptr) missing->emplace_back(name);
    };
    bind(e.getPluginFunctionsVersion, "mumble_getPluginFunctionsVersion");
    bind(e.getAPIVersion, "mumble_getAPIVersion");
    bind(e.getVersion, "mumble_getVersion");
    bind(e.getName, "mumble_getName");
    bind(e.getAuthor, "mumble_getAuthor");
    bind(e.getDescription, "mumble_getDescription");
    bind(e.getFeatures, "mumble_getFeatures");
    bind(e.deactivateFeatures, "mumble_deactivateFeatures");
    bind(e.registerAPIFunctions, "mumble_registerAPIFunctions");
    bind(e.setMumbleInfo, "mumble_setMumbleInfo");
    bind(e.releaseResource, "mumble_releaseResource");
    bind(e.init, "mumble_init");
    bind(e.shutdown, "mumble_shutdown");
    bind(e.onServerConnected, "mumble_onServerConnected", false);
    bind(e.onServerSynchronized, "mumble_onServerSynchronized");
    bind(e.onServerDisconnected, "mumble_onServerDisconnected");
    bind(e.onUserAdded, "mumble_onUserAdded");
    bind(e.onUserRemoved, "mumble_onUserRemoved");
    bind(e.onChannelEntered, "mumble_onChannelEntered");
    bind(e.onAudioInput, "mumble_onAudioInput");
    bind(e.onAudioSourceFetched, "mumble_onAudioSourceFetched");
    bind(e.onAudioOutputAboutToPlay, "mumble_onAudioOutputAboutToPlay");
    bind(e.hasUpdate, "mumble_hasUpdate");
    bind(e.getUpdateDownloadURL, "mumble_getUpdateDownloadURL");
    return e;
}

} // namespace mvhost
