// What every plugin suite shares: the plugin as a user has it (a copy of the
// built library in a folder of its own with its settings file, loaded by the
// host stand-in), its log file read back, a speaker listened to through the
// audio callback, and the settings and handshake most tests use.
#pragma once

#include <chrono>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "falloff/script_server.h"
#include "host/host.h"
#include "net/fixtures.h"
#include "proof_vectors.h"

namespace mvtest {

using mvfalloff::Handshake;
using mvfalloff::ScriptServer;
using mvfalloff::Step;
using mvhost::ApiFault;
using mvhost::ConnectionId;
using mvhost::Fault;
using mvhost::Host;
using mvhost::RosterUser;
using mvhost::TempPluginDir;
using mvhost::UserId;

inline constexpr std::chrono::milliseconds kDeadline = mvhost::kDefaultDeadline;
inline const std::vector<std::string> kNone;
// Long and unusual, so that finding it in a log can only mean it leaked.
inline const std::string kKey = "mv-test-key-Q7x2Rk9Vw4";
inline constexpr UserId kMe = 1;

// Wine and the sanitizers run loops fewer times: races show only now and then,
// and those builds are several times slower.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define MV_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define MV_SANITIZED 1
#endif
#endif
#if defined(_WIN32) || defined(MV_SANITIZED)
inline constexpr bool kSlowBuild = true;
#else
inline constexpr bool kSlowBuild = false;
#endif

// Polls until pred() holds; false at the deadline.
template <typename Pred> bool eventually(Pred pred, std::chrono::milliseconds deadline = kDeadline) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Settings for a falloff server on 127.0.0.1:port with kKey, retrying every
// second; more is appended (a key given twice takes its last value).
std::string settings(uint16_t port, std::string_view more = "");
// The server's side of a good handshake for VC-Me with the 40-hex vector.
Handshake handshake(std::string reply = "OK\n");
// VC-Me with the certificate hash of the 40-hex vector, then others.
std::vector<RosterUser> roster(std::vector<RosterUser> others = {});

// One stereo frame as the plugin left it.
struct Heard {
    float left, right;
};
bool operator==(Heard a, Heard b); // within 1e-5
std::ostream &operator<<(std::ostream &out, Heard h);
// What gain and equal-power pan make of a unit frame.
Heard expected(float gain, float pan);
inline constexpr Heard kSilent{0.0f, 0.0f};

// Messages containing text.
size_t count_in(const std::vector<std::string> &messages, std::string_view text);

class Plugin {
  public:
    // ini: the settings file's bytes; nullopt leaves none.
    explicit Plugin(std::optional<std::string> ini, bool non_ascii = false, mvhost::HostOptions options = {});

    // Every complete line of the log file without its time stamp.
    [[nodiscard]] std::vector<std::string> log() const;
    [[nodiscard]] size_t count(std::string_view text) const { return count_in(log(), text); }
    bool wait_log(std::string_view text, size_t n = 1, std::chrono::milliseconds deadline = kDeadline) const;
    [[nodiscard]] size_t host_count(std::string_view text) const { return count_in(host.log_lines(), text); }

    // A unit stereo frame of that user through the host's audio thread.
    Heard hear(UserId user);
    // Listens until the user is heard as want; the last thing heard.
    Heard wait_to_hear(UserId user, Heard want, std::chrono::milliseconds deadline = kDeadline);

    // Shuts down; the plugin kept the host's rules and neither log holds kKey.
    void finish();

    TempPluginDir dir;
    Host host;
};

} // namespace mvtest
