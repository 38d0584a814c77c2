// Locks, threads and time on Windows.
#include "platform/platform.h"

#include <new>
#include <time.h>
#include <windows.h>

namespace mv::platform {

static_assert(sizeof(SRWLOCK) <= sizeof(Lock::raw), "an SRW lock must fit in Lock::raw");

// SRWLOCK_INIT is all zero bytes, so a zero-initialised Lock is ready to use
// and needs no deletion: it outlives any audio callback that races shutdown.
void Lock::lock() noexcept {
    AcquireSRWLockExclusive(reinterpret_cast<PSRWLOCK>(raw));
}
void Lock::unlock() noexcept {
    ReleaseSRWLockExclusive(reinterpret_cast<PSRWLOCK>(raw));
}

// ---- Threads ---------------------------------------------------------------
struct Thread {
    HANDLE handle = nullptr;
};

namespace {

// Any object of this module; its address names the module to GetModuleHandleExW.
const char g_anchor = 0;

struct Start {
    ThreadFn fn;
    void *arg;
    HMODULE module; // our own reference on this module, or null
};

DWORD WINAPI thread_main(LPVOID p) {
    const Start start = *static_cast<Start *>(p);
    delete static_cast<Start *>(p);
    start.fn(start.arg);
    // Drops the reference and ends the thread without returning into this
    // module, which the release may have unmapped.
    if (start.module != nullptr) FreeLibraryAndExitThread(start.module, 0);
    return 0;
}

} // namespace

Thread *thread_start(ThreadFn fn, void *arg) noexcept {
    auto *thread = new (std::nothrow) Thread;
    auto *start = new (std::nothrow) Start{fn, arg, nullptr};
    if (thread == nullptr || start == nullptr) {
        delete thread;
        delete start;
        return nullptr;
    }
    // Taken here, while the caller keeps us loaded, so that no moment exists in
    // which the new thread runs our code without a reference.
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&g_anchor),
                            &start->module))
        start->module = nullptr;
    const HMODULE module = start->module;
    thread->handle = CreateThread(nullptr, 0, thread_main, start, 0, nullptr);
    if (thread->handle == nullptr) {
        if (module != nullptr) FreeLibrary(module);
        delete start;
        delete thread;
        return nullptr;
    }
    return thread;
}

bool thread_wait(Thread *thread, uint32_t timeout_ms) noexcept {
    if (thread == nullptr) return true;
    return WaitForSingleObject(thread->handle, timeout_ms) == WAIT_OBJECT_0;
}

void thread_release(Thread *thread) noexcept {
    if (thread == nullptr) return;
    CloseHandle(thread->handle);
    delete thread;
}

// ---- Time ------------------------------------------------------------------
uint32_t tick_ms() noexcept {
    return GetTickCount();
}

uint32_t coarse_tick_ms() noexcept {
    return GetTickCount(); // already a read of shared memory, to within about 16 ms
}

int64_t time_now() noexcept {
    return static_cast<int64_t>(_time64(nullptr));
}

bool local_time(int64_t t, std::tm *out) noexcept {
    if (out == nullptr) return false;
    const __time64_t tt = t;
    return _localtime64_s(out, &tt) == 0;
}

} // namespace mv::platform
