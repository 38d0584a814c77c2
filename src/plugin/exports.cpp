// The 23 functions the host finds by name. Each is noexcept: nothing may
// unwind into the host.
#include "audio/audio_callback.h"
#include "connection/events.h"
#include "plugin/lifecycle.h"
#include "state/host_api.h"

#if defined(_WIN32)
#define MV_EXPORT extern "C" __declspec(dllexport)
#else
#define MV_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

constexpr char kName[] = "Marlpike Voice - Spatial Audio";
constexpr char kAuthor[] = "Fenwright";
constexpr char kDescription[] = "Marlpike server-authoritative spatial voice for Saltmarsh Ridge.";

template <size_t N> constexpr MumbleStringWrapper constant_string(const char (&text)[N]) noexcept {
    return MumbleStringWrapper{text, N - 1, false};
}

} // namespace

MV_EXPORT MumbleVersion MV_CALL mumble_getPluginFunctionsVersion() noexcept {
    return {1, 1, 0};
}
MV_EXPORT MumbleVersion MV_CALL mumble_getAPIVersion() noexcept {
    return {1, 2, 0};
}
MV_EXPORT MumbleVersion MV_CALL mumble_getVersion() noexcept {
    return {0, 5, 4};
}
MV_EXPORT MumbleStringWrapper MV_CALL mumble_getName() noexcept {
    return constant_string(kName);
}
MV_EXPORT MumbleStringWrapper MV_CALL mumble_getAuthor() noexcept {
    return constant_string(kAuthor);
}
MV_EXPORT MumbleStringWrapper MV_CALL mumble_getDescription() noexcept {
    return constant_string(kDescription);
}
MV_EXPORT MumbleStringWrapper MV_CALL mumble_getUpdateDownloadURL() noexcept {
    return constant_string("");
}
MV_EXPORT uint32_t MV_CALL mumble_getFeatures() noexcept {
    return mv::kFeatureAudio;
}
// Declining to switch anything off: audio processing goes on as before.
MV_EXPORT uint32_t MV_CALL mumble_deactivateFeatures(uint32_t) noexcept {
    return 0;
}
MV_EXPORT bool MV_CALL mumble_hasUpdate() noexcept {
    return false;
}

MV_EXPORT void MV_CALL mumble_registerAPIFunctions(void *api) noexcept {
    mv::plugin_register_api(api);
}
MV_EXPORT void MV_CALL mumble_setMumbleInfo(MumbleVersion, MumbleVersion, MumbleVersion) noexcept {}
MV_EXPORT void MV_CALL mumble_releaseResource(const void *) noexcept {}

MV_EXPORT mv::ErrorCode MV_CALL mumble_init(mv::PluginId id) noexcept {
    return mv::plugin_init(id);
}
MV_EXPORT void MV_CALL mumble_shutdown() noexcept {
    mv::plugin_shutdown();
}

MV_EXPORT void MV_CALL mumble_onServerSynchronized(mv::ConnectionId connection) noexcept {
    mv::on_server_synchronized(connection);
}
MV_EXPORT void MV_CALL mumble_onServerDisconnected(mv::ConnectionId) noexcept {
    mv::connection_reset();
}
MV_EXPORT void MV_CALL mumble_onUserAdded(mv::ConnectionId, mv::UserId) noexcept {
    mv::alias_map_refresh();
}
MV_EXPORT void MV_CALL mumble_onUserRemoved(mv::ConnectionId, mv::UserId) noexcept {
    mv::alias_map_refresh();
}
MV_EXPORT void MV_CALL mumble_onChannelEntered(mv::ConnectionId, mv::UserId, int32_t, int32_t) noexcept {
    mv::alias_map_refresh();
}

MV_EXPORT bool MV_CALL mumble_onAudioInput(short *, uint32_t, uint16_t, uint32_t, bool) noexcept {
    return false;
}
MV_EXPORT bool MV_CALL mumble_onAudioSourceFetched(float *pcm, uint32_t sampleCount, uint16_t channelCount,
                                                   uint32_t sampleRate, bool isSpeech,
                                                   mv::UserId userID) noexcept {
    return mv::on_audio_source_fetched(pcm, sampleCount, channelCount, sampleRate, isSpeech, userID);
}
MV_EXPORT bool MV_CALL mumble_onAudioOutputAboutToPlay(float *, uint32_t, uint16_t, uint32_t) noexcept {
    return false;
}
