// What every plugin suite shares: the plugin as a user has it (a copy of the
// built library in a folder of its own with its settings file, loaded by the
// host stand-in), its log file read back, a speaker listened to through the
// audio callback, the settings and handshake most tests use, the proof
// vectors, and what the tests ask of the operating system beyond sockets
// (os_probe_posix.cpp, os_probe_win32.cpp).
#pragma once

#include <ostream>
#include <thread>

#include "falloff/script_server.h"
#include "host/host.h"
#include "net/fixtures.h"
#include "proof_vectors.h"

// Wine and the sanitizers run loops fewer times: races show only now and then,
// and those builds are several times slower.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define MV_SANITIZED 1
#endif
#endif
namespace mvtest {

using namespace mvhost;
using mvfalloff::Handshake;
using mvfalloff::ScriptServer;
using mvfalloff::Step;

#if defined(_WIN32)
inline constexpr bool kWindows = true;
#else
inline constexpr bool kWindows = false;
#endif
#if defined(_WIN32) || defined(MV_SANITIZED)
inline constexpr bool kSlowBuild = true;
#else
inline constexpr bool kSlowBuild = false;
#endif
inline const std::vector<std::string> kNone;
// Long and unusual, so that finding it in a log can only mean it leaked.
inline const std::string kKey = "mv-test-key-Q7x2Rk9Vw4";
inline constexpr UserId kMe = 1;

// Every vector of proof.tsv; empty when the file cannot be read.
std::vector<ProofVector> load_proof_vectors();
// The vector most tests sign in with: a 40-hex certificate hash, as Mumble's.
const ProofVector &cert40();

struct ResourceCounts {
    long handles; // open file descriptors (POSIX) or kernel handles (Windows)
    long threads; // threads of this process
    // How far the handle count may rise with no leak of ours: under Wine the
    // tools' mutexes (winpthreads) each make an event the first time they are
    // contended and keep it until they are destroyed. A leak per cycle is
    // far larger.
    long handle_slack = 0;
};
[[nodiscard]] ResourceCounts resource_counts();
// Entries of a directory, or -1 when it cannot be read.
[[nodiscard]] long count_entries(const char *dir);
// After the host has unloaded the plugin, a thread of the plugin that is still
// running holds its own reference on the library and keeps it mapped.
[[nodiscard]] bool library_mapped(const std::string &utf8_path);

// Polls until pred() holds; false at the deadline.
template <typename Pred> bool eventually(Pred pred, std::chrono::milliseconds deadline = kDefaultDeadline) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// A reading of the process's handles and threads once nothing is closing any
// more (the same twice in a row), and the check that later ones come back to
// it (closing a socket or ending a thread can lag a little). A thread is
// started and joined first, because a runtime may start a helper thread of
// its own at the first thread creation (ThreadSanitizer does) and keep it.
ResourceCounts steady_counts();
void expect_back_at(const ResourceCounts &before);

// Settings for a falloff server on 127.0.0.1:port with kKey, retrying every
// second; more is appended (a key given twice takes its last value).
std::string settings(uint16_t port, std::string_view more = "");
// The server's side of a good handshake for VC-Me with the 40-hex vector.
Handshake handshake(std::string reply = "OK\n");
// VC-Me with the certificate hash of the 40-hex vector, then others.
std::vector<RosterUser> roster(std::vector<RosterUser> others = {});
// Messages containing text.
size_t count_in(const std::vector<std::string> &messages, std::string_view text);

// One stereo frame as the plugin left it; equal within 1e-5.
struct Heard {
    float left, right;
    bool operator==(const Heard &other) const;
    friend std::ostream &operator<<(std::ostream &o, Heard h) {
        return o << '{' << h.left << ", " << h.right << '}';
    }
};
// What gain and equal-power pan make of a unit frame.
Heard expected(float gain, float pan);
inline constexpr Heard kSilent{0.0f, 0.0f};

struct Plugin {
    // ini: the settings file's bytes; nullopt leaves none.
    explicit Plugin(std::optional<std::string> ini, bool non_ascii = false, HostOptions options = {});

    // Every complete line of the log file without its time stamp.
    [[nodiscard]] std::vector<std::string> log() const;
    [[nodiscard]] size_t count(std::string_view text) const { return count_in(log(), text); }
    bool wait_log(std::string_view text, size_t n = 1) const;
    [[nodiscard]] size_t host_count(std::string_view text) const { return count_in(host.log_lines(), text); }

    // A unit stereo frame of that user through the host's audio thread.
    Heard hear(UserId user);
    // Listens until the user is heard as want; the last thing heard.
    Heard wait_to_hear(UserId user, Heard want, std::chrono::milliseconds deadline = kDefaultDeadline);

    // Shuts down; the plugin kept the host's rules, neither log holds kKey,
    // and the server (if any) played its script without a fault.
    void finish(const ScriptServer *server = nullptr);

    TempPluginDir dir;
    Host host;
};

} // namespace mvtest
