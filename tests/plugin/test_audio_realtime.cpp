// The audio callback keeps the rules of a real-time thread: no allocation and
// no file I/O, also on the calls it traces. This program replaces malloc and
// friends and the file calls for the whole process (the plugin library binds
// to them when it is loaded), and counts what the
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

#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
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

inline void bump(unsigned &counter) {
    if (t_armed) ++counter;
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

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *pointer, size_t size);
void __libc_free(void *pointer);
}

// operator new and delete of the C++ runtime call these, so they count too.
#define MV_INTERPOSE extern "C" __attribute__((visibility("default")))

MV_INTERPOSE void *malloc(size_t size) noexcept {
    bump(t_allocations);
    return __libc_malloc(size);
}
MV_INTERPOSE void *calloc(size_t count, size_t size) noexcept {
    bump(t_allocations);
    return __libc_calloc(count, size);
}
MV_INTERPOSE void *realloc(void *pointer, size_t size) noexcept {
    bump(t_allocations);
    return __libc_realloc(pointer, size);
}
MV_INTERPOSE void free(void *pointer) noexcept {
    bump(t_allocations);
    __libc_free(pointer);
}
MV_INTERPOSE FILE *fopen(const char *path, const char *mode) {
    bump(t_file_calls);
    static const auto real = next_definition<FILE *(*)(const char *, const char *)>("fopen");
    return real(path, mode);
}
MV_INTERPOSE FILE *fopen64(const char *path, const char *mode) {
    bump(t_file_calls);
    static const auto real = next_definition<FILE *(*)(const char *, const char *)>("fopen64");
    return real(path, mode);
}
MV_INTERPOSE size_t fwrite(const void *data, size_t size, size_t count, FILE *file) {
    bump(t_file_calls);
    static const auto real = next_definition<size_t (*)(const void *, size_t, size_t, FILE *)>("fwrite");
    return real(data, size, count, file);
}
MV_INTERPOSE ssize_t write(int fd, const void *data, size_t size) {
    bump(t_file_calls);
    static const auto real = next_definition<ssize_t (*)(int, const void *, size_t)>("write");
    return real(fd, data, size);
}

// ---- The test ------------------------------------------------------------------

namespace mvtest {
namespace {

constexpr mv::ConnectionId kConnection = 8;
constexpr mv::UserId kFox = 2, kNoRow = 3, kStranger = 99;

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

TEST(AudioRealtime, NoAllocationOrFileCallInsideTheCallbackAndTracesWrittenLater) {
    ScriptServer server({Step::handshake({"rt", "VC-Me", cert40().token, cert40().proof}),
                         Step::send_line("UPDATE2 VC-Fox 0.5 -0.2")});
    TempPluginDir dir;
    FakeHost host(dir.library_path());
    dir.write_ini("server_port=" + std::to_string(server.port()) + "\napi_key=rt\nreconnect_sec=1\n");
    // The counters see the plugin's own calls: start-up opens the log file and
    // allocates its drain thread's stop event.
    bool started = false;
    const Counts startup = counted([&] {
        started = host.start({{1, "VC-Me", cert40().key}, {kFox, "VC-Fox", ""}, {kNoRow, "VC-NoRow", ""}},
                             kConnection);
    });
    ASSERT_TRUE(started) << host.load_error();
    ASSERT_GT(startup.allocations, 0u) << "the plugin does not bind to this program's allocator";
    ASSERT_GT(startup.file_calls, 0u) << "the plugin does not bind to this program's file calls";
    host.plugin().onServerSynchronized(kConnection);
    ASSERT_TRUE(wait_for_log_file(dir, "received UPDATE2 with 1 speakers"));

    // A known speaker in 1, 2 and 6 channels, one without a row, a stranger,
    // and a call without samples; calls 1 to 5, 100 and 200 are traced.
    const struct {
        mv::UserId user;
        uint16_t channels;
        uint32_t frames;
    } shapes[] = {{kFox, 1, 441},   {kFox, 2, 960},      {kFox, 6, 600},
                  {kNoRow, 2, 960}, {kStranger, 1, 480}, {kFox, 2, 0}};
    std::vector<std::string> dirty; // calls that allocated or touched a file
    for (uint32_t sequence = 1; sequence <= 200; ++sequence) {
        const auto &s = shapes[sequence % std::size(shapes)];
        std::vector<float> pcm(size_t{s.frames} * s.channels + 1, 0.5f);
        bool processed = false;
        const Counts c = counted([&] {
            processed =
                host.plugin().onAudioSourceFetched(pcm.data(), s.frames, s.channels, 48000, true, s.user);
        });
        ASSERT_TRUE(processed) << sequence;
        if (c.allocations != 0 || c.file_calls != 0)
            dirty.push_back("call " + std::to_string(sequence) + ": " + std::to_string(c.allocations) +
                            " allocations, " + std::to_string(c.file_calls) + " file calls");
    }
    EXPECT_EQ(dirty, std::vector<std::string>{});

    // The trace lines arrive in the file all the same, written by another thread.
    ASSERT_TRUE(wait_for_log_file(dir, "audio_apply sequence=200 "));
    EXPECT_EQ(count_containing(log_messages(dir), "audio_apply "), 7u);
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
