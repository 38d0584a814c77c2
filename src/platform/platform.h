// The operating-system seam. One implementation per platform (posix/, win32/),
// chosen by CMake; nothing above this header knows which one it runs on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

namespace mv::platform {

// ---- Locks -----------------------------------------------------------------
// A lock that needs no run-time construction or destruction: an all-zero Lock is
// a valid unlocked lock (PTHREAD_MUTEX_INITIALIZER / SRWLOCK_INIT), so a Lock with
// static storage is usable from the moment the library is loaded until it is
// unloaded. That matters because the host may call the audio callback around
// init and shutdown.
struct Lock {
    void lock() noexcept;
    void unlock() noexcept;
    alignas(16) unsigned char raw[64]{};
};

class LockGuard {
  public:
    explicit LockGuard(Lock &lock) noexcept : lock_(lock) { lock_.lock(); }
    ~LockGuard() { lock_.unlock(); }
    LockGuard(const LockGuard &) = delete;
    LockGuard &operator=(const LockGuard &) = delete;

  private:
    Lock &lock_;
};

// ---- Events ----------------------------------------------------------------
// A manual-reset event: once set it stays set. Used as a stop signal that
// interrupts every wait of the worker (sleeps, socket waits, connects).
struct Event;
[[nodiscard]] Event *event_create() noexcept; // null on failure
void event_destroy(Event *event) noexcept;
void event_set(Event *event) noexcept;
[[nodiscard]] bool event_is_set(Event *event) noexcept;
// Waits until the event is set or timeout_ms has passed; true when set.
bool event_wait(Event *event, uint32_t timeout_ms) noexcept;
// Waits until either event is set (UINT32_MAX: no time limit). 0 when first is
// set, 1 when only second is, -1 on time-out or failure.
int event_wait_either(Event *first, Event *second, uint32_t timeout_ms) noexcept;

// ---- Threads ---------------------------------------------------------------
using ThreadFn = void (*)(void *arg);
struct Thread;
// Starts fn(arg) on a new thread. The thread holds a reference on this library
// until fn has returned, so unloading the library while the thread is still
// inside our code (a blocking name lookup) cannot crash it. Null on failure.
[[nodiscard]] Thread *thread_start(ThreadFn fn, void *arg) noexcept;
// Waits at most timeout_ms for the thread to end; true when it has ended.
bool thread_wait(Thread *thread, uint32_t timeout_ms) noexcept;
// Releases the handle (joins an ended thread, detaches a running one).
void thread_release(Thread *thread) noexcept;

// ---- Time ------------------------------------------------------------------
// Millisecond tick that wraps at 2^32 (GetTickCount semantics).
[[nodiscard]] uint32_t tick_ms() noexcept;
// The same tick read the cheapest way, to within a few milliseconds: for the
// audio path, which only asks whether a speaker was heard in the last 250 ms.
[[nodiscard]] uint32_t coarse_tick_ms() noexcept;
// Calendar time in seconds and its local-time breakdown.
[[nodiscard]] int64_t time_now() noexcept;
bool local_time(int64_t t, std::tm *out) noexcept;

// ---- Files and the process ---------------------------------------------------
// Directory separator of the platform's paths.
[[nodiscard]] char dir_separator() noexcept;
// Full path of this library's own file, UTF-8, into buf. Returns false when it
// cannot be read or does not fit in cap-1 bytes.
bool module_path(char *buf, size_t cap) noexcept;
// Opens a regular file by a UTF-8 path (wide-character calls on Windows) and
// nothing else: a FIFO, a device, a socket or a directory at the path is
// refused without ever blocking in the open, so a stray special file can never
// hang the host.
enum class FileMode { read, append, truncate }; // "rb", "ab" (created if missing), "wb"
enum class FileOpen { ok, missing, not_regular, failed };
[[nodiscard]] std::FILE *file_open_regular(const char *utf8_path, FileMode mode, FileOpen *result) noexcept;
// Renames from -> to, replacing an existing 'to'.
bool file_replace(const char *utf8_from, const char *utf8_to) noexcept;
// Reads an environment variable. Returns its full length (0 when unset or empty);
// copies at most cap-1 bytes and always terminates when cap > 0.
size_t env_read(const char *name, char *buf, size_t cap) noexcept;

// ---- Sockets ---------------------------------------------------------------
using Socket = intptr_t;
inline constexpr Socket kInvalidSocket = -1;

bool net_startup() noexcept; // WSAStartup(2.2) on Windows; always true on POSIX
void net_cleanup() noexcept;

enum class IoStatus { ok, timeout, closed, error, stopped };
struct IoResult {
    IoStatus status;
    size_t count; // bytes moved when ok
    int error;    // platform error code when error (Winsock code / errno)
};

struct AddressList;
// getaddrinfo(host, port, AF_UNSPEC, SOCK_STREAM, IPPROTO_TCP). Null on failure.
[[nodiscard]] AddressList *resolve(const char *host, const char *port) noexcept;
void free_addresses(AddressList *list) noexcept;
// Tries each address in order (socket, then connect bounded by timeout_ms and by
// stop). Returns the first connected socket, or kInvalidSocket. *stopped tells
// whether the stop event ended the attempt.
[[nodiscard]] Socket connect_first(const AddressList *list, Event *stop, uint32_t timeout_ms,
                                   bool *stopped) noexcept;
// One send of the whole buffer, waiting at most timeout_ms for room.
IoResult send_bytes(Socket s, const char *data, size_t len, Event *stop, uint32_t timeout_ms) noexcept;
// Receives up to cap bytes, waiting at most timeout_ms for data. wait_first
// says that the last receive emptied the socket, so trying before waiting
// would only cost a system call that finds nothing.
IoResult recv_bytes(Socket s, char *buf, size_t cap, Event *stop, uint32_t timeout_ms,
                    bool wait_first = false) noexcept;
void close_socket(Socket s) noexcept;
// The last socket error of this thread (WSAGetLastError / errno).
[[nodiscard]] int last_socket_error() noexcept;

// ---- Crypto ----------------------------------------------------------------
// HMAC-SHA-256 of msg under key. False on any failure of the provider.
bool hmac_sha256(const unsigned char *key, size_t key_len, const unsigned char *msg, size_t msg_len,
                 unsigned char out[32]) noexcept;

} // namespace mv::platform
