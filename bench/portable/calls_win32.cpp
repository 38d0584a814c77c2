// The plugin DLL's imports of Winsock and of the wait functions are pointed at
// counters here, by patching its import address table once it is loaded: so
// every such call that the library's own code makes is seen, and no other.
// WSACreateEvent, WSAEventSelect, WSAEnumNetworkEvents and WSACloseEvent are
// counted as well, as each is a call into the system on Windows.
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "portable/calls.h"

namespace mvbench::calls {
namespace {

constexpr char kHangingHost[] = "lookup.never.answers.invalid"; // as on POSIX (net/lookup_hold.h)

using RecvFn = int(WSAAPI *)(SOCKET, char *, int, int);
using SendFn = int(WSAAPI *)(SOCKET, const char *, int, int);
using WaitManyFn = DWORD(WINAPI *)(DWORD, const HANDLE *, BOOL, DWORD);
using WaitOneFn = DWORD(WINAPI *)(HANDLE, DWORD);
using EventSelectFn = int(WSAAPI *)(SOCKET, WSAEVENT, long);
using EnumEventsFn = int(WSAAPI *)(SOCKET, WSAEVENT, LPWSANETWORKEVENTS);
using CreateEventFn = WSAEVENT(WSAAPI *)();
using CloseEventFn = BOOL(WSAAPI *)(WSAEVENT);
using LookupFn = int(WSAAPI *)(const char *, const char *, const addrinfo *, addrinfo **);

RecvFn g_recv = nullptr;
SendFn g_send = nullptr;
WaitManyFn g_wait_many = nullptr;
WaitOneFn g_wait_one = nullptr;
EventSelectFn g_event_select = nullptr;
EnumEventsFn g_enum_events = nullptr;
CreateEventFn g_create_event = nullptr;
CloseEventFn g_close_event = nullptr;
LookupFn g_lookup = nullptr;

std::atomic<uint64_t> g_reads{0}, g_sends{0}, g_waits{0}, g_checks{0}, g_events{0}, g_bytes{0};
std::atomic<DWORD> g_worker{0};
std::atomic<Wait> g_wait{Wait::none};
// The network events this thread has bound to a socket now (0: none).
thread_local long t_bound = 0;

std::mutex g_lookup_mutex;
std::condition_variable g_lookup_changed;
bool g_holding = true;
size_t g_held = 0;

// The worker is the thread that uses sockets and waits on several events.
void worker_seen() {
    g_worker.store(GetCurrentThreadId(), std::memory_order_relaxed);
}

// The last error is the plugin's to read: counting must not change it.
class KeepError {
  public:
    KeepError() : error_(GetLastError()) {}
    ~KeepError() { SetLastError(error_); }
    KeepError(const KeepError &) = delete;
    KeepError &operator=(const KeepError &) = delete;

  private:
    DWORD error_;
};

int WSAAPI hook_recv(SOCKET s, char *buf, int len, int flags) {
    worker_seen();
    g_reads.fetch_add(1, std::memory_order_relaxed);
    const int n = g_recv(s, buf, len, flags);
    if (n > 0) g_bytes.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
    return n;
}

int WSAAPI hook_send(SOCKET s, const char *buf, int len, int flags) {
    worker_seen();
    g_sends.fetch_add(1, std::memory_order_relaxed);
    return g_send(s, buf, len, flags);
}

DWORD WINAPI hook_wait_many(DWORD count, const HANDLE *handles, BOOL all, DWORD ms) {
    worker_seen();
    if (ms == 0) {
        g_checks.fetch_add(1, std::memory_order_relaxed);
        return g_wait_many(count, handles, all, ms);
    }
    g_waits.fetch_add(1, std::memory_order_relaxed);
    g_wait.store((t_bound & FD_CONNECT) != 0 ? Wait::connect : Wait::readable, std::memory_order_release);
    const DWORD r = g_wait_many(count, handles, all, ms);
    const KeepError keep;
    g_wait.store(Wait::none, std::memory_order_release);
    return r;
}

// Other threads of the library wait on one object too (a stop joins the
// worker): only the worker's waits are its backoff.
DWORD WINAPI hook_wait_one(HANDLE handle, DWORD ms) {
    const bool worker = GetCurrentThreadId() == g_worker.load(std::memory_order_relaxed);
    if (!worker) return g_wait_one(handle, ms);
    if (ms == 0) {
        g_checks.fetch_add(1, std::memory_order_relaxed);
        return g_wait_one(handle, ms);
    }
    g_waits.fetch_add(1, std::memory_order_relaxed);
    g_wait.store(Wait::stop_only, std::memory_order_release);
    const DWORD r = g_wait_one(handle, ms);
    const KeepError keep;
    g_wait.store(Wait::none, std::memory_order_release);
    return r;
}

int WSAAPI hook_event_select(SOCKET s, WSAEVENT event, long network_events) {
    worker_seen();
    g_events.fetch_add(1, std::memory_order_relaxed);
    t_bound = event != nullptr ? network_events : 0;
    return g_event_select(s, event, network_events);
}

int WSAAPI hook_enum_events(SOCKET s, WSAEVENT event, LPWSANETWORKEVENTS out) {
    g_events.fetch_add(1, std::memory_order_relaxed);
    return g_enum_events(s, event, out);
}

WSAEVENT WSAAPI hook_create_event() {
    g_events.fetch_add(1, std::memory_order_relaxed);
    return g_create_event();
}

BOOL WSAAPI hook_close_event(WSAEVENT event) {
    g_events.fetch_add(1, std::memory_order_relaxed);
    return g_close_event(event);
}

int WSAAPI hook_lookup(const char *node, const char *service, const addrinfo *hints, addrinfo **res) {
    if (node == nullptr || std::strcmp(node, kHangingHost) != 0) return g_lookup(node, service, hints, res);
    std::unique_lock lock(g_lookup_mutex);
    ++g_held;
    g_lookup_changed.wait(lock, [] { return !g_holding; });
    --g_held;
    return WSATRY_AGAIN;
}

struct Patch {
    const char *name;
    void *hook;
    void **original;
};

template <typename Fn> Patch patch(const char *name, Fn hook, Fn *original) {
    return {name, reinterpret_cast<void *>(hook), reinterpret_cast<void **>(original)};
}

// Points every import of the module named in patches at its hook; returns how
// many were found.
size_t patch_imports(HMODULE module, Patch *patches, size_t count) {
    auto *base = reinterpret_cast<BYTE *>(module);
    const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
    const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY &dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (dir.VirtualAddress == 0) return 0;
    size_t found = 0;
    for (auto *d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR *>(base + dir.VirtualAddress); d->Name != 0;
         ++d) {
        const DWORD lookup_rva = d->OriginalFirstThunk != 0 ? d->OriginalFirstThunk : d->FirstThunk;
        auto *names = reinterpret_cast<IMAGE_THUNK_DATA *>(base + lookup_rva);
        auto *slots = reinterpret_cast<IMAGE_THUNK_DATA *>(base + d->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            const auto *by_name =
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME *>(base + names->u1.AddressOfData);
            const char *name = reinterpret_cast<const char *>(by_name->Name);
            for (size_t i = 0; i < count; ++i) {
                if (std::strcmp(name, patches[i].name) != 0) continue;
                DWORD old = 0;
                if (!VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &old))
                    break;
                *patches[i].original = reinterpret_cast<void *>(slots->u1.Function);
                slots->u1.Function = reinterpret_cast<ULONG_PTR>(patches[i].hook);
                VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, old, &old);
                ++found;
            }
        }
    }
    return found;
}

} // namespace

const char *platform_name() {
    return "Windows (Wine)";
}

bool watch(const mvhost::Host &host, std::string *error) {
    const mvhost::AnyFn any = host.symbol("mumble_init");
    HMODULE module = nullptr;
    if (any == nullptr || !GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                                  GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                              reinterpret_cast<LPCWSTR>(any), &module)) {
        *error = "the plugin's module was not found";
        return false;
    }
    Patch patches[] = {
        patch("recv", &hook_recv, &g_recv),
        patch("send", &hook_send, &g_send),
        patch("WaitForMultipleObjects", &hook_wait_many, &g_wait_many),
        patch("WaitForSingleObject", &hook_wait_one, &g_wait_one),
        patch("WSAEventSelect", &hook_event_select, &g_event_select),
        patch("WSAEnumNetworkEvents", &hook_enum_events, &g_enum_events),
        patch("WSACreateEvent", &hook_create_event, &g_create_event),
        patch("WSACloseEvent", &hook_close_event, &g_close_event),
        patch("getaddrinfo", &hook_lookup, &g_lookup),
    };
    const size_t want = sizeof patches / sizeof patches[0];
    const size_t found = patch_imports(module, patches, want);
    if (found != want) {
        *error = "only " + std::to_string(found) + " of " + std::to_string(want) + " imports were found";
        return false;
    }
    return true;
}

void mark_own_thread() {} // only the library's own calls come through the hooks

Counts counts() {
    return {g_reads.load(), g_sends.load(), g_waits.load(), g_checks.load(), g_events.load(), g_bytes.load()};
}

Counts operator-(const Counts &a, const Counts &b) {
    return {a.reads - b.reads,   a.sends - b.sends,   a.waits - b.waits,
            a.checks - b.checks, a.events - b.events, a.bytes_read - b.bytes_read};
}

Wait worker_wait() {
    return g_wait.load(std::memory_order_acquire);
}

void forget_worker() {
    g_worker.store(0);
    g_wait.store(Wait::none);
}

uint64_t worker_thread() {
    return g_worker.load();
}

bool thread_gone(uint64_t thread) {
    HANDLE h = OpenThread(SYNCHRONIZE, FALSE, static_cast<DWORD>(thread));
    if (h == nullptr) return true;
    const bool ended = WaitForSingleObject(h, 0) == WAIT_OBJECT_0;
    CloseHandle(h);
    return ended;
}

const char *hanging_host() {
    return kHangingHost;
}

size_t lookups_held() {
    std::lock_guard lock(g_lookup_mutex);
    return g_held;
}

void hold_lookups() {
    std::lock_guard lock(g_lookup_mutex);
    g_holding = true;
}

void release_lookups() {
    {
        std::lock_guard lock(g_lookup_mutex);
        g_holding = false;
    }
    g_lookup_changed.notify_all();
}

} // namespace mvbench::calls
