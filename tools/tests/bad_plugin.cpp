// A plugin that breaks the host's rules on purpose, so that the tests can see
// the simulator catch it: it never releases a name, releases an array twice
// and calls the host from the audio thread.
#include <cstddef>
#include <cstdint>
#include <cstring>

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

struct Version {
    int32_t major, minor, patch;
};
struct Text {
    const char *data;
    size_t size;
    bool needs_releasing;
};

void *g_api[38];
uint32_t g_id = 0;

template <typename Fn> Fn slot(size_t i) {
    Fn fn = nullptr;
    std::memcpy(&fn, &g_api[i], sizeof fn);
    return fn;
}

} // namespace

EXPORT Version mumble_getAPIVersion() {
    return {1, 2, 0};
}
EXPORT Version mumble_getVersion() {
    return {9, 9, 9};
}
EXPORT Text mumble_getName() {
    return {"Bad plugin", 10, false};
}
EXPORT void mumble_registerAPIFunctions(void *table) {
    std::memcpy(g_api, table, sizeof g_api);
}
EXPORT int32_t mumble_init(uint32_t id) {
    g_id = id;
    return 0;
}
EXPORT void mumble_shutdown() {}

EXPORT void mumble_onServerSynchronized(int32_t connection) {
    const char *name = nullptr;
    slot<int32_t (*)(uint32_t, int32_t, uint32_t, const char **)>(4)(g_id, connection, 1, &name);
    uint32_t *users = nullptr;
    size_t count = 0;
    slot<int32_t (*)(uint32_t, int32_t, uint32_t **, size_t *)>(6)(g_id, connection, &users, &count);
    slot<int32_t (*)(uint32_t, const void *)>(0)(g_id, users);
    slot<int32_t (*)(uint32_t, const void *)>(0)(g_id, users);
}

EXPORT bool mumble_onAudioSourceFetched(float *, uint32_t, uint16_t, uint32_t, bool, uint32_t) {
    slot<int32_t (*)(uint32_t, const char *)>(36)(g_id, "called from the audio path");
    return false;
}
