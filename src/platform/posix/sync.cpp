// Locks, threads and time on POSIX.
#include "platform/platform.h"

#include <atomic>
#include <ctime>
#include <dlfcn.h>
#include <link.h>
#include <new>
#include <pthread.h>

namespace mv::platform {

static_assert(sizeof(pthread_mutex_t) <= sizeof(Lock::raw) && alignof(pthread_mutex_t) <= 16,
              "a pthread mutex must fit in Lock::raw");

// glibc's PTHREAD_MUTEX_INITIALIZER is all zero bytes, which is what lets a
// zero-initialised Lock work without any constructor.
void Lock::lock() noexcept {
    pthread_mutex_lock(reinterpret_cast<pthread_mutex_t *>(raw));
}
void Lock::unlock() noexcept {
    pthread_mutex_unlock(reinterpret_cast<pthread_mutex_t *>(raw));
}

// ---- Library references held by our threads ---------------------------------
namespace {

// Any object of this library; its address tells dladdr which file we are.
const char g_anchor = 0;

// Each thread's reference on this library sits in this key. Its destructor is
// dlclose itself, called by libc after the thread's start routine has returned,
// so the last reference can unmap the library without anything returning into
// it. The cast only changes the pointer's return type (int -> void), which the
// x86-64 calling convention ignores.
pthread_key_t g_library_key;
bool g_have_library_key = false;

using KeyDestructor = void (*)(void *);

__attribute__((constructor)) void create_library_key() {
    const auto release = reinterpret_cast<KeyDestructor>(reinterpret_cast<void (*)()>(&dlclose));
    g_have_library_key = pthread_key_create(&g_library_key, release) == 0;
}

// Runs at unload, which happens only after every thread released its reference.
__attribute__((destructor)) void delete_library_key() {
    if (g_have_library_key) pthread_key_delete(g_library_key);
}

// A new reference on this library, or null when there is nothing to hold: the
// main program (its link map has no name) is never unloaded.
void *take_library_reference() {
    Dl_info info{};
    link_map *map = nullptr;
    if (dladdr1(&g_anchor, &info, reinterpret_cast<void **>(&map), RTLD_DL_LINKMAP) == 0 || map == nullptr ||
        map->l_name == nullptr || map->l_name[0] == '\0')
        return nullptr;
    return dlopen(map->l_name, RTLD_NOW | RTLD_NOLOAD);
}

} // namespace

// ---- Threads ---------------------------------------------------------------
// Shared by the handle and the running thread; whichever lets go last frees it.
struct Thread {
    pthread_t id{};
    ThreadFn fn = nullptr;
    void *arg = nullptr;
    void *library = nullptr;
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t ended_cond{};
    bool ended = false;
    std::atomic<int> refs{2};
};

namespace {

void drop(Thread *thread) {
    if (thread->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    pthread_cond_destroy(&thread->ended_cond);
    pthread_mutex_destroy(&thread->mutex);
    delete thread;
}

void *thread_main(void *p) {
    auto *thread = static_cast<Thread *>(p);
    // Should the key be missing the reference is kept for good: a library that
    // never unloads is better than one unmapped under a running thread.
    if (thread->library != nullptr && g_have_library_key) pthread_setspecific(g_library_key, thread->library);
    thread->fn(thread->arg);
    pthread_mutex_lock(&thread->mutex);
    thread->ended = true;
    pthread_cond_broadcast(&thread->ended_cond);
    pthread_mutex_unlock(&thread->mutex);
    drop(thread);
    return nullptr;
}

timespec monotonic_after(uint32_t ms) {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    ts.tv_sec += static_cast<time_t>(ms / 1000);
    ts.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec += 1;
        ts.tv_nsec -= 1000000000L;
    }
    return ts;
}

} // namespace

Thread *thread_start(ThreadFn fn, void *arg) noexcept {
    auto *thread = new (std::nothrow) Thread;
    if (thread == nullptr) return nullptr;
    thread->fn = fn;
    thread->arg = arg;
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    const bool cond_ok = pthread_cond_init(&thread->ended_cond, &attr) == 0;
    pthread_condattr_destroy(&attr);
    if (!cond_ok) {
        delete thread;
        return nullptr;
    }
    // Taken here, while the caller keeps us loaded, so that no moment exists in
    // which the new thread runs our code without a reference.
    thread->library = take_library_reference();
    if (pthread_create(&thread->id, nullptr, thread_main, thread) != 0) {
        if (thread->library != nullptr) dlclose(thread->library);
        pthread_cond_destroy(&thread->ended_cond);
        delete thread;
        return nullptr;
    }
    return thread;
}

bool thread_wait(Thread *thread, uint32_t timeout_ms) noexcept {
    if (thread == nullptr) return true;
    const timespec deadline = monotonic_after(timeout_ms);
    pthread_mutex_lock(&thread->mutex);
    while (!thread->ended) {
        if (timeout_ms == UINT32_MAX) {
            pthread_cond_wait(&thread->ended_cond, &thread->mutex);
        } else if (pthread_cond_timedwait(&thread->ended_cond, &thread->mutex, &deadline) != 0) {
            break;
        }
    }
    const bool ended = thread->ended;
    pthread_mutex_unlock(&thread->mutex);
    return ended;
}

void thread_release(Thread *thread) noexcept {
    if (thread == nullptr) return;
    pthread_mutex_lock(&thread->mutex);
    const bool ended = thread->ended;
    pthread_mutex_unlock(&thread->mutex);
    if (ended) {
        pthread_join(thread->id, nullptr);
    } else {
        pthread_detach(thread->id);
    }
    drop(thread);
}

// ---- Time ------------------------------------------------------------------
uint32_t tick_ms() noexcept {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const auto ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

uint32_t coarse_tick_ms() noexcept {
#ifdef CLOCK_MONOTONIC_COARSE
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    const auto ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
#else
    return tick_ms();
#endif
}

int64_t time_now() noexcept {
    return static_cast<int64_t>(std::time(nullptr));
}

bool local_time(int64_t t, std::tm *out) noexcept {
    if (out == nullptr) return false;
    const auto tt = static_cast<time_t>(t);
    return localtime_r(&tt, out) != nullptr;
}

} // namespace mv::platform
