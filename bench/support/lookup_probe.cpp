// Name lookups that never answer, as with a DNS server that does not reply:
// this getaddrinfo stands in front of the C library's (the plugin, loaded
// later, binds to it) and holds every lookup of kHangingHost until released.
// Other names go to the C library's own.
#include <condition_variable>
#include <cstring>
#include <dlfcn.h>
#include <mutex>
#include <netdb.h>

#include "support/probes.h"

namespace {

std::mutex g_mutex;
std::condition_variable g_changed;
bool g_holding = true;
size_t g_held = 0;

} // namespace

namespace mvbench {

size_t lookups_held() {
    std::lock_guard lock(g_mutex);
    return g_held;
}

void release_lookups() {
    {
        std::lock_guard lock(g_mutex);
        g_holding = false;
    }
    g_changed.notify_all();
}

void hold_lookups() {
    std::lock_guard lock(g_mutex);
    g_holding = true;
}

} // namespace mvbench

extern "C" __attribute__((visibility("default"))) int getaddrinfo(const char *node, const char *service,
                                                                  const addrinfo *hints, addrinfo **res) {
    using Fn = int (*)(const char *, const char *, const addrinfo *, addrinfo **);
    static const auto real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "getaddrinfo"));
    if (node == nullptr || std::strcmp(node, mvbench::kHangingHost) != 0)
        return real(node, service, hints, res);
    std::unique_lock lock(g_mutex);
    ++g_held;
    g_changed.wait(lock, [] { return !g_holding; });
    --g_held;
    return EAI_AGAIN;
}
