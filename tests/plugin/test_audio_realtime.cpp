// The audio callback keeps the rules of a real-time thread: no allocation and
// no file I/O, also on the calls it traces. This program replaces malloc and
// friends, operator new and delete, and the file calls for the whole process
// (the plugin library binds to them when it is loaded), and counts what the
// calling thread does while a flag is armed around one callback. The trace
// lines must still reach the log file: written later, by another thread.
//
// Native only: symbol interposition is how ELF binds, not how Windows does,
// and a sanitizer brings its own allocator.
#include <gtest/gtest.h>

#if !defined(_WIN32) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define MV_NO_INTERPOSITION 1
#endif
#endif
#else
#define MV_NO_INTERPOSITION 1
#endif

#if !defined(MV_NO_INTERPOSITION)

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <new>
#include <string>
#include <unistd.h>
#include <vector>

#include "fake_host.h"
#include "log_file.h"
#include "plugin_library.h"
#include "proof_vectors.h"
#include "script_server.h"

// ---- Counting, per thread, only while armed ----------------------------------

namespace {

// Plain zero-initialised thread_locals of the executable live in its static
// TLS block: reading them allocates nothing, even inside malloc.
thread_local bool t_armed = false;
thread_local unsigned t_allocations = 0;
thread_local unsigned t_file_calls = 0;

inline void count_allocation() {
    if (t_armed) ++t_allocations;
}
inline void count_file_call() {
    if (t_armed) ++t_file_calls;
}

// The next definition of a libc function after ours.
template <typename Fn> Fn next_definition(const char *name) {
    void *address = dlsym(RTLD_NEXT, name);
    Fn fn;
    static_assert(sizeof fn == sizeof address);
    __builtin_memcpy(&fn, &address, sizeof fn);
    return fn;
}

} // namespace

#define MV_INTERPOSE extern "C" __attribute__((visibility("default")))

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *pointer, size_t size);
void __libc_free(void *pointer);
}

MV_INTERPOSE void *malloc(size_t size) noexcept {
    count_allocation();
    return __libc_malloc(size);
}
MV_INTERPOSE void *calloc(size_t count, size_t size) noexcept {
    count_allocation();
    return __libc_calloc(count, size);
}
MV_INTERPOSE void *realloc(void *pointer, size_t size) noexcept {
    count_allocation();
    return __libc_realloc(pointer, size);
}
MV_INTERPOSE void free(void *pointer) noexcept {
    count_allocation();
    __libc_free(pointer);
}

// operator new and delete go through malloc and free above, so the plugin's
// `new (std::nothrow)` counts whichever of them it binds to.
__attribute__((visibility("default"))) void *operator new(size_t size) {
    if (void *p = malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
__attribute__((visibility("default"))) void *operator new[](size_t size) {
    return operator new(size);
}
__attribute__((visibility("default"))) void *operator new(size_t size, const std::nothrow_t &) noexcept {
    return malloc(size == 0 ? 1 : size);
}
__attribute__((visibility("default"))) void *operator new[](size_t size, const std::nothrow_t &) noexcept {
    return malloc(size == 0 ? 1 : size);
}
__attribute__((visibility("default"))) void operator delete(void *p) noexcept {
    free(p);
}
__attribute__((visibility("default"))) void operator delete[](void *p) noexcept {
    free(p);
}
__attribute__((visibility("default"))) void operator delete(void *p, size_t) noexcept {
    free(p);
}
__attribute__((visibility("default"))) void operator delete[](void *p, size_t) noexcept {
    free(p);
}

MV_INTERPOSE FILE *fopen(const char *path, const char *mode) {
    count_file_call();
    static const auto real = next_definition<FILE *(*)(const char *, const char *)>("fopen");
    return real(path, mode);
}
MV_INTERPOSE FILE *fopen64(const char *path, const char *mode) {
    count_file_call();
    static const auto real = next_definition<FILE *(*)(const char *, const char *)>("fopen64");
    return real(path, mode);
}

namespace {

// open's third argument exists only when the flags create a file.
mode_t mode_argument(int flags, va_list args) {
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? static_cast<mode_t>(va_arg(args, int))
                                                                      : 0;
}

} // namespace

MV_INTERPOSE int open(const char *path, int flags, ...) {
    count_file_call();
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_argument(flags, args);
    va_end(args);
    static const auto real = next_definition<int (*)(const char *, int, ...)>("open");
    return real(path, flags, mode);
}
MV_INTERPOSE int open64(const char *path, int flags, ...) {
    count_file_call();
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_argument(flags, args);
    va_end(args);
    static const auto real = next_definition<int (*)(const char *, int, ...)>("open64");
    return real(path, flags, mode);
}
MV_INTERPOSE int openat(int dir, const char *path, int flags, ...) {
    count_file_call();
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_argument(flags, args);
    va_end(args);
    static const auto real = next_definition<int (*)(int, const char *, int, ...)>("openat");
    return real(dir, path, flags, mode);
}
MV_INTERPOSE int openat64(int dir, const char *path, int flags, ...) {
    count_file_call();
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_argument(flags, args);
    va_end(args);
    static const auto real = next_definition<int (*)(int, const char *, int, ...)>("openat64");
    return real(dir, path, flags, mode);
}
MV_INTERPOSE ssize_t write(int fd, const void *data, size_t size) {
    count_file_call();
    static const auto real = next_definition<ssize_t (*)(int, const void *, size_t)>("write");
    return real(fd, data, size);
}
MV_INTERPOSE size_t fwrite(const void *data, size_t size, size_t count, FILE *file) {
    count_file_call();
    static const auto real = next_definition<size_t (*)(const void *, size_t, size_t, FILE *)>("fwrite");
    return real(data, size, count, file);
}

// ---- The test ------------------------------------------------------------------

namespace mvtest {
namespace {

constexpr mv::ConnectionId kConnection = 8;
constexpr mv::UserId kLocalUser = 1;
constexpr mv::UserId kFox = 2;
constexpr mv::UserId kNoRow = 3;
constexpr mv::UserId kStranger = 99;
constexpr uint32_t kRate = 48000;
constexpr uint32_t kCalls = 200;

struct Counts {
    unsigned allocations = 0;
    unsigned file_calls = 0;
};

// Arms the counters around exactly one call of fn on this thread.
template <typename Fn> Counts counted(Fn fn) {
    t_allocations = 0;
    t_file_calls = 0;
    t_armed = true;
    fn();
    t_armed = false;
    return {t_allocations, t_file_calls};
}

struct Shape {
    mv::UserId user;
    uint16_t channels;
    uint32_t frames;
    bool zeros;
};

// What call number `sequence` sends: mostly speech of a known speaker in 1, 2
// and 6 channels, a speaker without a row, a stranger; call 4 has no samples
// and call 100 is all zeros (both measure nothing and divide by nothing).
Shape shape_of(uint32_t sequence) {
    if (sequence == 4) return {kFox, 2, 0, false};
    if (sequence == 100) return {kFox, 2, 960, true};
    switch (sequence % 5) {
    case 0:
        return {kFox, 2, 960, false};
    case 1:
        return {kFox, 1, 441, false};
    case 2:
        return {kFox, 6, 600, false};
    case 3:
        return {kNoRow, 2, 960, false};
    default:
        return {kStranger, 1, 480, false};
    }
}

std::vector<float> samples_of(const Shape &s) {
    std::vector<float> v(size_t{s.frames} * s.channels);
    for (size_t i = 0; i < v.size() && !s.zeros; ++i)
        v[i] = (i % 2 == 0 ? 1.0f : -1.0f) * (0.125f + static_cast<float>(i % 13) * 0.0625f);
    return v;
}

float peak(const std::vector<float> &v) {
    float p = 0.0f;
    for (float x : v)
        p = std::fabs(x) > p ? std::fabs(x) : p;
    return p;
}

// Calls 1 to 5 and every hundredth are traced.
bool traced(uint32_t sequence) {
    return sequence <= 5 || sequence % 100 == 0;
}

std::string expected_trace(uint32_t sequence, const Shape &s, const std::vector<float> &before,
                           const std::vector<float> &after) {
    const bool fox = s.user == kFox;
    const char *alias = fox ? "VC-Fox" : s.user == kNoRow ? "VC-NoRow" : "<redacted>";
    const float gain = fox ? 0.5f : 0.0f;
    const float pan = fox ? -0.2f : 0.0f;
    const float left = s.channels == 1 ? gain : std::sqrt((1.0f - pan) * 0.5f) * gain;
    const float right = s.channels == 1 ? gain : std::sqrt((1.0f + pan) * 0.5f) * gain;
    const float peak_before = peak(before);
    const float peak_after = peak(after);
    char line[512];
    std::snprintf(line, sizeof line,
                  "audio_apply sequence=%lu user_id=%u alias=%s alias_found=%d state_found=%d gain=%.4f "
                  "pan=%.4f channels=%u samples=%u rate=%u left_multiplier=%.4f right_multiplier=%.4f "
                  "peak_before=%.6f peak_after=%.6f peak_ratio=%.4f",
                  static_cast<unsigned long>(sequence), s.user, alias, s.user == kStranger ? 0 : 1,
                  fox ? 1 : 0, static_cast<double>(gain), static_cast<double>(pan), unsigned{s.channels},
                  s.frames, kRate, static_cast<double>(left), static_cast<double>(right),
                  static_cast<double>(peak_before), static_cast<double>(peak_after),
                  static_cast<double>(peak_before > 1e-7f ? peak_after / peak_before : 0.0f));
    return line;
}

TEST(AudioRealtime, NoAllocationOrFileCallInsideTheCallbackAndTracesWrittenLater) {
    ScopedEnv no_env_host("MARLPIKE_VOICE_HOST", std::nullopt);
    ScopedEnv no_env_port("MARLPIKE_VOICE_PORT", std::nullopt);
    const ProofVector vector = proof_vector("40-hex certificate hash");
    ScriptServer server({Step::handshake({"rt", "VC-Me", vector.token, vector.proof}),
                         Step::send_line("UPDATE2 VC-Fox 0.5 -0.2, VC-Other 1 1")});
    ASSERT_TRUE(server.listening());
    TempPluginDir dir;
    FakeHost host(dir.library_path());
    ASSERT_TRUE(host.loaded()) << host.load_error();
    dir.write_ini("server_port=" + std::to_string(server.port()) +
                  "\napi_key=rt\ndebug_log=1\nreconnect_sec=1\n");
    host.set_connection(kConnection);
    host.set_local_user(kLocalUser);
    host.set_roster({{kLocalUser, "VC-Me", vector.key}, {kFox, "VC-Fox", ""}, {kNoRow, "VC-NoRow", ""}});
    host.register_api();

    // The counters see the plugin's own calls: start-up opens the log file and
    // allocates its drain thread's stop event.
    mv::ErrorCode status = 1;
    const Counts startup = counted([&] { status = host.init(); });
    ASSERT_EQ(status, 0);
    ASSERT_GT(startup.allocations, 0u) << "the plugin does not bind to this program's allocator";
    ASSERT_GT(startup.file_calls, 0u) << "the plugin does not bind to this program's file calls";

    host.plugin().onServerSynchronized(kConnection);
    ASSERT_TRUE(wait_for_log_messages(dir, "received UPDATE2 with 2 speakers"));

    std::vector<std::string> want;
    std::vector<std::string> dirty; // calls that allocated or touched a file
    bool processed = false;
    for (uint32_t sequence = 1; sequence <= kCalls; ++sequence) {
        const Shape s = shape_of(sequence);
        const std::vector<float> before = samples_of(s);
        std::vector<float> pcm = before;
        pcm.reserve(pcm.size() + 1); // never a null pointer, also for 0 frames
        const Counts c = counted([&] {
            processed =
                host.plugin().onAudioSourceFetched(pcm.data(), s.frames, s.channels, kRate, true, s.user);
        });
        ASSERT_TRUE(processed) << sequence;
        if (c.allocations != 0 || c.file_calls != 0)
            dirty.push_back("call " + std::to_string(sequence) + ": " + std::to_string(c.allocations) +
                            " allocations, " + std::to_string(c.file_calls) + " file calls");
        if (traced(sequence)) want.push_back(expected_trace(sequence, s, before, pcm));

        // Calls the gate turns away use up no sequence number and do nothing either.
        if (sequence == 3) {
            std::vector<float> other = samples_of({kFox, 2, 960, false});
            const Counts gated = counted([&] {
                processed = host.plugin().onAudioSourceFetched(other.data(), 960, 2, kRate, false, kFox) ||
                            host.plugin().onAudioSourceFetched(other.data(), 960, 0, kRate, true, kFox) ||
                            host.plugin().onAudioSourceFetched(nullptr, 960, 2, kRate, true, kFox);
            });
            EXPECT_FALSE(processed);
            EXPECT_EQ(gated.allocations + gated.file_calls, 0u);
            EXPECT_EQ(other, samples_of({kFox, 2, 960, false}));
        }
    }
    EXPECT_EQ(dirty, std::vector<std::string>{});

    // The trace lines arrive in the file all the same, in order, each exactly.
    ASSERT_TRUE(wait_for_log_messages(dir, "audio_apply sequence=200 "));
    std::vector<std::string> traces;
    for (const std::string &m : log_messages(dir))
        if (m.starts_with("audio_apply")) traces.push_back(m);
    EXPECT_EQ(traces, want);
    ASSERT_EQ(want.size(), 7u);
    EXPECT_EQ(want[3],
              "audio_apply sequence=4 user_id=2 alias=VC-Fox alias_found=1 state_found=1 gain=0.5000 "
              "pan=-0.2000 channels=2 samples=0 rate=48000 left_multiplier=0.3873 "
              "right_multiplier=0.3162 peak_before=0.000000 peak_after=0.000000 peak_ratio=0.0000");

    host.shutdown();
    EXPECT_EQ(host.contract_violations(), std::vector<std::string>{});
}

} // namespace
} // namespace mvtest

#else

TEST(AudioRealtime, NoAllocationOrFileCallInsideTheCallbackAndTracesWrittenLater) {
    GTEST_SKIP() << "needs ELF symbol interposition without a sanitizer's allocator";
}

#endif
