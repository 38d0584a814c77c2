// The host's side of the plugin API 1.2.0, declared here from the published
// interface rather than taken from the plugin, so that the stand-in checks the
// plugin independently.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mvhost {

struct Version {
    int32_t major;
    int32_t minor;
    int32_t patch;
};

// The API's string wrapper (24 bytes on 64-bit).
struct StringWrapper {
    const char *data;
    size_t size;
    bool needsReleasing;
};

using PluginId = uint32_t;
using ConnectionId = int32_t;
using UserId = uint32_t;
using ChannelId = int32_t;
using Status = int32_t;

inline constexpr size_t kApiSlots = 38;

// The slots the plugin calls; every other slot answers kStatusGenericError.
enum Slot : size_t {
    kSlotFreeMemory = 0,
    kSlotGetActiveServerConnection = 1,
    kSlotIsConnectionSynchronized = 2,
    kSlotGetLocalUserId = 3,
    kSlotGetUserName = 4,
    kSlotGetAllUsers = 6,
    kSlotGetUserHash = 14,
    kSlotLog = 36,
};

inline constexpr Status kStatusGenericError = -1;
inline constexpr Status kStatusOk = 0;
inline constexpr Status kStatusPointerNotFound = 1;
inline constexpr Status kStatusNoActiveConnection = 2;
inline constexpr Status kStatusNoSuchUser = 3;
inline constexpr Status kStatusConnectionNotFound = 5;
inline constexpr Status kStatusNotSynchronised = 11;
inline constexpr Status kStatusTimedOut = 19;

// What the host tells the plugin before init: its own release, the API it
// speaks and the oldest API it still accepts.
inline constexpr Version kMumbleVersion{1, 5, 735};
inline constexpr Version kApiVersion{1, 2, 0};
inline constexpr Version kMinimumApiVersion{1, 0, 0};

// The exports, typed as the host calls them. onServerConnected is optional;
// the other 23 are what a plugin of API 1.2.0 exports.
struct PluginExports {
    Version (*getPluginFunctionsVersion)();
    Version (*getAPIVersion)();
    Version (*getVersion)();
    StringWrapper (*getName)();
    StringWrapper (*getAuthor)();
    StringWrapper (*getDescription)();
    uint32_t (*getFeatures)();
    uint32_t (*deactivateFeatures)(uint32_t features);
    void (*registerAPIFunctions)(void *api_table);
    void (*setMumbleInfo)(Version mumble, Version api, Version minimum_api);
    void (*releaseResource)(const void *pointer);
    Status (*init)(PluginId id);
    void (*shutdown)();
    void (*onServerConnected)(ConnectionId connection);
    void (*onServerSynchronized)(ConnectionId connection);
    void (*onServerDisconnected)(ConnectionId connection);
    void (*onUserAdded)(ConnectionId connection, UserId user);
    void (*onUserRemoved)(ConnectionId connection, UserId user);
    void (*onChannelEntered)(ConnectionId connection, UserId user, ChannelId previous, ChannelId current);
    bool (*onAudioInput)(int16_t *samples, uint32_t sample_count, uint16_t channel_count,
                         uint32_t sample_rate, bool is_speech);
    bool (*onAudioSourceFetched)(float *samples, uint32_t sample_count, uint16_t channel_count,
                                 uint32_t sample_rate, bool is_speech, UserId user);
    bool (*onAudioOutputAboutToPlay)(float *samples, uint32_t sample_count, uint16_t channel_count,
                                     uint32_t sample_rate);
    bool (*hasUpdate)();
    StringWrapper (*getUpdateDownloadURL)();
};

} // namespace mvhost
