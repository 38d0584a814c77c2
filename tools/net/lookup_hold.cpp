#include "net/lookup_hold.h"

#include <condition_variable>
#include <mutex>

#if !defined(_WIN32)
#include <cstring>
#include <dlfcn.h>
#include <netdb.h>
#endif

namespace mvnet {
namespace {

std::mutex g_mutex;
std::condition_variable g_changed;
bool g_holding = true;
size_t g_held = 0;

} // namespace

size_t lookups_held() {
    std::lock_guard lock(g_mutex);
    return g_held;
}

void hold_lookups(bool hold) {
    std::lock_guard lock(g_mutex);
    g_holding = hold;
    g_changed.notify_all();
}

} // namespace mvnet

#if !defined(_WIN32)
extern "C" __attribute__((visibility("default"))) int getaddrinfo(const char *node, const char *service,
                                                                  const addrinfo *hints, addrinfo **res) {
    using Fn = int (*)(const char *, const char *, const addrinfo *, addrinfo **);
    static const auto next = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "getaddrinfo"));
    if (node == nullptr || std::strcmp(node, mvnet::kHangingName) != 0)
        return next(node, service, hints, res);
    std::unique_lock lock(mvnet::g_mutex);
    ++mvnet::g_held;
    mvnet::g_changed.wait(lock, [] { return !mvnet::g_holding; });
    --mvnet::g_held;
    return EAI_AGAIN;
}
#endif
