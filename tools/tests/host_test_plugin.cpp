// A small plugin for the host stand-in's tests, with only the exports they
// drive: it reports the host's events to the host's log, asks slots 1 and 2 in
// init as a plugin loaded mid-session must, and makes API calls on request.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>

#include "probe.h"

#if defined(_WIN32)
#define EXPORT extern "C" __declspec(dllexport)
#else
#define EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

void *g_api[38];
void **g_lent = nullptr; // the host's own table, which must not be kept
bool g_use_lent = false; // the next init calls through it
uint32_t g_id = 0;

template <typename... A> int32_t call(size_t slot, A... args) {
    int32_t (*fn)(uint32_t, A...) = nullptr;
    std::memcpy(&fn, &g_api[slot], sizeof fn);
    return fn(g_id, args...);
}

int32_t log(const char *format, ...) {
    char line[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    return call(36, static_cast<const char *>(line));
}

} // namespace

EXPORT int32_t mvtest_probe(int probe, int32_t connection, uint32_t user) {
    const char *text = nullptr;
    uint32_t *users = nullptr, id = 0;
    size_t count = 0;
    int32_t status = 0;
    switch (probe) {
    case kLocalId:
        return call(3, connection, &id);
    case kName:
    case kLeakName:
        status = call(4, connection, user, &text);
        return status == 0 && probe == kName ? call(0, static_cast<const void *>(text)) : status;
    case kAllUsers:
    case kFreeTwice:
        status = call(6, connection, &users, &count);
        if (status == 0) call(0, static_cast<const void *>(users));
        return status == 0 && probe == kFreeTwice ? call(0, static_cast<const void *>(users)) : status;
    case kFreeUnknown:
        return call(0, static_cast<const void *>(&id));
    case kStale:
        return g_use_lent = true, 0;
    case kLogFromThread:
        std::thread([&status] { status = log("from a thread"); }).join();
        return status;
    }
    return -1;
}

EXPORT void mumble_shutdown() {}

EXPORT void mumble_registerAPIFunctions(void *table) {
    std::memcpy(g_api, table, sizeof g_api);
    g_lent = static_cast<void **>(table);
}

EXPORT int32_t mumble_init(uint32_t id) {
    g_id = id;
    int32_t connection = -1;
    bool synced = false;
    const int32_t active = call(1, &connection);
    const int32_t asked = call(2, connection, &synced);
    log("init active=%d:%d synced=%d:%d", active, connection, asked, synced ? 1 : 0);
    if (g_use_lent) {
        int32_t (*lent_log)(uint32_t, const char *) = nullptr;
        std::memcpy(&lent_log, &g_lent[36], sizeof lent_log);
        lent_log(id, "through the lent table");
        g_use_lent = false;
    }
    return 0;
}

EXPORT void mumble_onServerConnected(int32_t connection) {
    log("connected %d", connection);
}

EXPORT void mumble_onServerDisconnected(int32_t connection) {
    log("disconnected %d", connection);
}

EXPORT void mumble_onUserAdded(int32_t connection, uint32_t user) {
    log("added %u name=%d", user, mvtest_probe(kName, connection, user));
}

EXPORT void mumble_onServerSynchronized(int32_t connection) {
    log("synchronized %d all-users=%d", connection, mvtest_probe(kAllUsers, connection, 0));
}

// Against the rules, for the host to catch: the audio thread calls the API.
EXPORT bool mumble_onAudioSourceFetched(float *, uint32_t, uint16_t, uint32_t, bool, uint32_t) {
    log("audio");
    return false;
}
