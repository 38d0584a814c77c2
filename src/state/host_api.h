// The host's plugin API (version 1.2.0) as far as this plugin uses it: the value
// types of the exports and the API table slots that it calls.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#define MV_CALL __cdecl
#else
#define MV_CALL
#endif

extern "C" {

struct MumbleVersion {
    int32_t major;
    int32_t minor;
    int32_t patch;
};

struct MumbleStringWrapper {
    const char *data;
    size_t size;
    bool needsReleasing;
};

} // extern "C"

namespace mv {

using PluginId = uint32_t;
using ConnectionId = int32_t;
using UserId = uint32_t;
using ErrorCode = int32_t;

inline constexpr size_t kApiTableSlots = 38;
inline constexpr uint32_t kFeatureAudio = 2;

// Slot numbers of the API functions we call.
enum ApiSlot : size_t {
    kSlotFreeMemory = 0,
    kSlotGetActiveServerConnection = 1,
    kSlotIsConnectionSynchronized = 2,
    kSlotGetLocalUserId = 3,
    kSlotGetUserName = 4,
    kSlotGetAllUsers = 6,
    kSlotGetUserHash = 14,
    kSlotLog = 36,
};

using FreeMemoryFn = ErrorCode(MV_CALL *)(PluginId, const void *);
using GetActiveServerConnectionFn = ErrorCode(MV_CALL *)(PluginId, ConnectionId *);
using IsConnectionSynchronizedFn = ErrorCode(MV_CALL *)(PluginId, ConnectionId, bool *);
using GetLocalUserIdFn = ErrorCode(MV_CALL *)(PluginId, ConnectionId, UserId *);
using GetUserNameFn = ErrorCode(MV_CALL *)(PluginId, ConnectionId, UserId, const char **);
using GetAllUsersFn = ErrorCode(MV_CALL *)(PluginId, ConnectionId, UserId **, size_t *);
using GetUserHashFn = ErrorCode(MV_CALL *)(PluginId, ConnectionId, UserId, const char **);
using LogFn = ErrorCode(MV_CALL *)(PluginId, const char *);

} // namespace mv
