// A small plugin for the host stand-in's tests: it lends them the table it
// copied, so that they can call the API as a plugin would, and on request
// breaks the rules.
#include <cstdint>
#include <cstring>

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

void log_through(void **table, const char *line) {
    int32_t (*log)(uint32_t, const char *) = nullptr;
    std::memcpy(&log, &table[36], sizeof log);
    log(g_id, line);
}

} // namespace

EXPORT void **mvtest_api() {
    return g_api;
}

EXPORT void mvtest_use_lent_table() {
    g_use_lent = true;
}

EXPORT void mumble_shutdown() {}

EXPORT void mumble_registerAPIFunctions(void *table) {
    std::memcpy(g_api, table, sizeof g_api);
    g_lent = static_cast<void **>(table);
}

EXPORT int32_t mumble_init(uint32_t id) {
    g_id = id;
    if (g_use_lent) log_through(g_lent, "through the lent table");
    g_use_lent = false;
    return 0;
}
