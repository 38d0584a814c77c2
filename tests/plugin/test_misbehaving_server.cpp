// Falloff servers that misbehave on purpose, against the real plugin library.
// Each scenario plays one bad connection (or an address that never gives
// one), then checks three things: what the log file says about it, that no
// speaker is heard while no link is established, and that the plugin comes
// back by itself and obeys a well-behaved server afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio_probe.h"
#include "blackhole_listener.h"
#include "fake_host.h"
#include "log_file.h"
#include "os_probe.h"
#include "plugin_library.h"
#include "proof_vectors.h"
#include "script_server.h"

namespace mvtest {
namespace {

constexpr mv::ConnectionId kConnection = 5;
constexpr mv::UserId kMe = 1, kFox = 2, kOwl = 3, kElk = 4, kCat = 5, kLate = 6;
// Long and unusual, so that finding it in a log can only mean it leaked.
const std::string kApiKey = "mb-key-Q7x2Rk9Vw4";
constexpr const char *kAttempt = "falloff_connect_attempt";

Handshake good_handshake(std::string reply = "OK\n") {
    return {kApiKey, "VC-Me", cert40().token, cert40().proof, std::move(reply)};
}
std::string hello() {
    return "HELLO2 " + kApiKey + " VC-Me";
}
std::string proof_line() {
    return "PROOF " + cert40().proof;
}

// Where the plugin is pointed for its first attempts.
enum class Target { server, refused_port, blackhole, unresolvable };

struct Scenario;

// What a scenario's checks can reach while its first connection is held.
struct Live {
    const Scenario &scenario;
    FakeHost &host;
    const TempPluginDir &dir;
    ScriptServer *server;
};

struct Scenario {
    const char *name = "";
    Target target = Target::server;
    // Connection 0, accepted before the first step. Gates in it are opened by
    // `during`; the end of the connection is followed by the common tail.
    std::vector<Step> first{};
    std::function<void(Live &)> during{};
    // Whole messages and message prefixes that the log must hold, and text it
    // must not, before the second connection attempt.
    std::vector<std::string> messages{};
    std::vector<std::string> prefixes{};
    std::vector<std::string> absent{};
    std::vector<std::pair<std::string, size_t>> counts{}; // exact counts of messages containing text
    // What the plugin sent on connection 0, line by line, when it matters.
    std::optional<std::vector<std::string>> sent{};
};

// Test names in CTest show the case's name, not its bytes.
void PrintTo(const Scenario &c, std::ostream *out) {
    *out << c.name;
}

// The well-behaved end of every server scenario.
std::vector<Step> tail() {
    return {Step::gate(), Step::accept(), Step::handshake(good_handshake()),
            Step::send_line("UPDATE2 VC-Fox 0.5 0")};
}

std::vector<Step> then(std::vector<Step> steps) {
    for (Step &s : tail())
        steps.push_back(std::move(s));
    return steps;
}

// Waits to hear the user as want and opens the server's next gate.
void hear_then_open(Live &live, mv::UserId user, Heard want) {
    const Heard h = wait_to_hear(live.host, user, want);
    EXPECT_TRUE(heard_as(h, want.left, want.right)) << h.left << " " << h.right;
    live.server->open_gate();
}

std::string repeated_lines(size_t n, const std::function<std::string(size_t)> &line) {
    std::string out;
    for (size_t i = 0; i < n; ++i)
        out += line(i) + "\n";
    return out;
}

// The bytes of a literal, NULs included.
template <size_t N> std::string bytes(const char (&text)[N]) {
    return std::string(text, N - 1);
}

std::string padded(std::string text, size_t size, char pad) {
    text.resize(size, pad);
    return text;
}

// Wine reports a reset as an orderly close, so only the native run can ask
// for the reset's error code.
std::vector<std::string> no_reset_code() {
#if defined(_WIN32)
    return {};
#else
    return {"falloff_disconnected wsa=0"};
#endif
}

std::vector<Scenario> scenarios() {
    std::vector<Scenario> all;

    all.push_back({.name = "SilenceAfterAccept",
                   .first = then({Step::expect_close()}),
                   .messages = {"falloff_hello2_rejected reply="},
                   .absent = {"PROOF", "connected to falloff"},
                   .sent = std::vector<std::string>{hello()}});

    // HELLO2 fits in the socket's buffer, so the plugin waits for a reply that
    // never comes and gives up after its receive time-out.
    all.push_back({.name = "AcceptsAndNeverReads",
                   .first = then({Step::silent(7000), Step::expect_close()}),
                   .messages = {"falloff_hello2_rejected reply="},
                   .absent = {"connected to falloff"}});

    // The partial challenge counts as the line once the receive gives up.
    all.push_back({.name = "ChallengeWithoutLineEndThenPause",
                   .first = then({Step::expect(hello()), Step::send("CHALLENGE " + cert40().token),
                                  Step::expect(proof_line()), Step::send_line("OK"),
                                  Step::send_line("UPDATE2 VC-Fox 0.25 0"), Step::gate(), Step::close()}),
                   .during = [](Live &live) { hear_then_open(live, kFox, expected(0.25f, 0.0f)); },
                   .prefixes = {"falloff_disconnected wsa="},
                   .counts = {{"connected to falloff", 1}}});

    all.push_back({.name = "ProofReplyOkWithASpace",
                   .first = then({Step::handshake(good_handshake("OK \n")), Step::expect_close()}),
                   .messages = {"falloff_proof_rejected reply=OK "},
                   .absent = {"connected to falloff"},
                   .sent = std::vector<std::string>{hello(), proof_line()}});

    // CR is dropped wherever it stands, so "OK\r\n" is a plain OK.
    all.push_back({.name = "ProofReplyOkCrLf",
                   .first = then({Step::handshake(good_handshake("OK\r\n")),
                                  Step::send_line("UPDATE2 VC-Fox 0.25 0.5"), Step::gate(), Step::close()}),
                   .during = [](Live &live) { hear_then_open(live, kFox, expected(0.25f, 0.5f)); },
                   .counts = {{"connected to falloff", 1}}});

    // The half line before the close is dropped, not applied.
    all.push_back({.name = "CloseInTheMiddleOfAnUpdate",
                   .first = then({Step::handshake(good_handshake()), Step::send_line("UPDATE2 VC-Fox 0.25 0"),
                                  Step::gate(), Step::send("UPDATE2 VC-Fox 0.75 0"), Step::close()}),
                   .during = [](Live &live) { hear_then_open(live, kFox, expected(0.25f, 0.0f)); },
                   .prefixes = {"falloff_disconnected wsa="},
                   .counts = {{"received UPDATE2", 1}}});

    all.push_back({.name = "ResetWhileAwaitingTheAccept",
                   .first = then({Step::handshake(good_handshake("")), Step::reset()}),
                   .messages = {"falloff_proof_rejected reply="},
                   .absent = {"connected to falloff"}});

    all.push_back({.name = "ResetOnAnEstablishedLink",
                   .first = then({Step::handshake(good_handshake()), Step::send_line("UPDATE2 VC-Fox 0.25 0"),
                                  Step::gate(), Step::reset()}),
                   .during = [](Live &live) { hear_then_open(live, kFox, expected(0.25f, 0.0f)); },
                   .prefixes = {"falloff_disconnected wsa="},
                   .absent = no_reset_code()});

    // 100 000 bytes without a line end: cut into lines of 8191 characters, so
    // the second piece is a line of its own that begins with UPDATE3.
    {
        std::string big = padded("UPDATE2 VC-Fox 0.25 0", 8191, ' ');
        big += padded("UPDATE3 VC-Fox 0.125 0", 8191, ' ');
        big = padded(big, 100000, 'x');
        all.push_back(
            {.name = "LineOf100000Bytes",
             .first = then({Step::handshake(good_handshake()), Step::send(big + "\n"),
                            Step::send_line("UPDATE2 VC-Fox 0.75 0.5"), Step::gate(), Step::close()}),
             .during = [](Live &live) { hear_then_open(live, kFox, expected(0.75f, 0.5f)); },
             .counts = {{"received UPDATE2 with 1 speakers", 2}, {"received UPDATE3 with 1 speakers", 1}}});
    }

    // CR inside a keyword is dropped; NUL ends a line's text, so "PI\0NG" is
    // no PING and the update after a NUL is not read.
    all.push_back(
        {.name = "NulAndCrInsideLines",
         .first =
             then({Step::handshake(good_handshake()), Step::send("UPD\rATE2 VC-Fox 0.5\r -0.5\r\n"),
                   Step::send(bytes("PI\0NG\n")), Step::send_line("PING"),
                   Step::send(bytes("UPDATE2 VC-Fox 0.25 0\0, VC-Fox 1 1\n")), Step::gate(), Step::close()}),
         .during =
             [](Live &live) {
                 hear_then_open(live, kFox, expected(0.25f, 0.0f));
                 const std::vector<std::string> lines = live.server->lines(0);
                 EXPECT_EQ(std::count(lines.begin(), lines.end(), "OK"), 1);
             },
         .messages = {"update_state alias=VC-Fox gain=0.5000 pan=-0.5000"},
         .counts = {{"received UPDATE2 with 1 speakers", 2}}});

    all.push_back({.name = "Flood10000Updates",
                   .first = then({Step::handshake(good_handshake()),
                                  Step::send(repeated_lines(9999,
                                                            [](size_t i) {
                                                                return "UPDATE2 VC-Fox 0." +
                                                                       std::to_string(i % 100) + " 0.1";
                                                            }) +
                                             "UPDATE2 VC-Fox 0.375 -0.5\n"),
                                  Step::gate(), Step::close()}),
                   .during = [](Live &live) { hear_then_open(live, kFox, expected(0.375f, -0.5f)); },
                   .counts = {{"received UPDATE2 with 1 speakers", 10000}}});

    all.push_back({.name = "PingFlood",
                   .first = then({Step::handshake(good_handshake()),
                                  Step::send(repeated_lines(10000, [](size_t) { return "PING"; })),
                                  Step::send_line("UPDATE2 VC-Fox 0.25 0"), Step::gate(), Step::close()}),
                   .during =
                       [](Live &live) {
                           EXPECT_TRUE(live.server->wait_for_lines("OK", 10000, 0));
                           hear_then_open(live, kFox, expected(0.25f, 0.0f));
                           const std::vector<std::string> lines = live.server->lines(0);
                           EXPECT_EQ(std::count(lines.begin(), lines.end(), "OK"), 10000);
                       },
                   .counts = {{"received UPDATE2", 1}}});

    // Gains that are no number: the entry is dropped, or the value is taken
    // as 0; never does a NaN reach the table or the samples.
    all.push_back(
        {.name = "NonNumericAndNanGains",
         .first = then({Step::handshake(good_handshake()),
                        Step::send_line("UPDATE2 VC-Fox abc 0.5, VC-Owl nan 0.25, VC-Elk 0.5 nan, "
                                        "VC-Cat inf -inf, VC-Late -nan"),
                        Step::gate(), Step::close()}),
         .during =
             [](Live &live) {
                 const Heard cat = wait_to_hear(live.host, kCat, {1.0f, 0.0f});
                 EXPECT_TRUE(heard_as(cat, 1.0f, 0.0f)) << cat.left << " " << cat.right;
                 const Heard elk = hear(live.host, kElk);
                 EXPECT_TRUE(heard_as(elk, expected(0.5f, 0).left, expected(0.5f, 0).right));
                 for (mv::UserId silent : {kFox, kOwl, kLate}) {
                     const Heard h = hear(live.host, silent);
                     EXPECT_TRUE(heard_as(h, 0, 0)) << silent << ": " << h.left << " " << h.right;
                 }
                 live.server->open_gate();
             },
         .messages = {"received UPDATE2 with 4 speakers", "update_state alias=VC-Owl gain=0.0000 pan=0.2500",
                      "update_state alias=VC-Elk gain=0.5000 pan=0.0000",
                      "update_state alias=VC-Cat gain=1.0000 pan=-1.0000",
                      "update_state alias=VC-Late gain=0.0000 pan=0.0000"},
         .absent = {"nan", "VC-Fox gain"}});

    all.push_back({.name = "RefusedPort",
                   .target = Target::refused_port,
                   .prefixes = {"falloff_connect_fail host=127.0.0.1 port="},
                   .absent = {"resolve failed"}});

    all.push_back({.name = "ConnectNeverAnswered",
                   .target = Target::blackhole,
                   .prefixes = {"falloff_connect_fail host=127.0.0.1 port="},
                   .absent = {"resolve failed"}});

    all.push_back({.name = "HostNameThatDoesNotResolve",
                   .target = Target::unresolvable,
                   .prefixes = {"falloff resolve failed host=no such host..invalid port=",
                                "falloff_connect_fail host=no such host..invalid port="}});
    return all;
}

// Never resolved through the network: a name with a space and an empty label
// is refused by the resolver before any query leaves the machine.
constexpr const char *kUnresolvable = "no such host..invalid";

class MisbehavingServer : public ::testing::TestWithParam<Scenario> {};

TEST_P(MisbehavingServer, LogsItStaysSilentAndComesBack) {
    const Scenario &sc = GetParam();
    ASSERT_FALSE(cert40().proof.empty());

    // Where the plugin goes first.
    std::unique_ptr<ScriptServer> server;
    std::unique_ptr<BlackholeListener> blackhole;
    uint16_t port = 0;
    std::string host_name = "127.0.0.1";
    switch (sc.target) {
    case Target::server:
        server = std::make_unique<ScriptServer>(sc.first);
        ASSERT_TRUE(server->listening());
        port = server->port();
        break;
    case Target::refused_port: {
        const net::Socket probe = net::listen_loopback(&port);
        ASSERT_NE(probe, net::kInvalidSocket);
        net::close_socket(probe); // nothing listens there now
        break;
    }
    case Target::blackhole:
        blackhole = std::make_unique<BlackholeListener>();
        ASSERT_TRUE(blackhole->ready()) << "the listener's queue could not be filled";
        port = blackhole->port();
        break;
    case Target::unresolvable:
        host_name = kUnresolvable;
        port = 9;
        break;
    }

    TempPluginDir dir;
    dir.write_ini("server_host=" + host_name + "\nserver_port=" + std::to_string(port) +
                  "\napi_key=" + kApiKey + "\nreconnect_sec=1\ndebug_log=1\n");
    FakeHost host(dir.library_path());
    ASSERT_TRUE(host.start({{kMe, "VC-Me", cert40().key},
                            {kFox, "VC-Fox", ""},
                            {kOwl, "VC-Owl", ""},
                            {kElk, "VC-Elk", ""},
                            {kCat, "VC-Cat", ""},
                            {kLate, "VC-Late", ""}},
                           kConnection))
        << host.load_error();
    EXPECT_TRUE(heard_as(hear(host, kFox), 0, 0)) << "heard before any link";
    host.plugin().onServerSynchronized(kConnection);

    Live live{sc, host, dir, server.get()};
    if (sc.during) sc.during(live);

    // The second attempt comes after the first connection is over and the
    // table is cleared; the server holds still at its gate meanwhile.
    ASSERT_TRUE(wait_for_log_file(dir, kAttempt, 2)) << testing::PrintToString(log_messages(dir));
    const Heard between = hear(host, kFox);
    EXPECT_TRUE(heard_as(between, 0, 0)) << "heard with no link: " << between.left << " " << between.right;

    std::vector<std::string> before = log_messages(dir);
    size_t second = 0;
    for (size_t i = 0, seen = 0; i < before.size(); ++i) {
        if (before[i].starts_with(kAttempt) && ++seen == 2) second = i;
    }
    before.resize(second);
    for (const std::string &m : sc.messages)
        EXPECT_NE(std::find(before.begin(), before.end(), m), before.end()) << "missing: " << m;
    for (const std::string &p : sc.prefixes)
        EXPECT_TRUE(
            std::any_of(before.begin(), before.end(), [&](const std::string &m) { return m.starts_with(p); }))
            << "no message begins with: " << p;
    for (const std::string &a : sc.absent)
        EXPECT_EQ(count_containing(before, a), 0u) << "unexpected: " << a;
    for (const auto &[text, n] : sc.counts)
        EXPECT_EQ(count_containing(before, text), n) << text;
    if (sc.sent && server) {
        EXPECT_EQ(server->lines(0), *sc.sent);
    }

    // Back to a well-behaved server.
    switch (sc.target) {
    case Target::server:
        server->open_gate();
        break;
    case Target::refused_port:
        server = std::make_unique<ScriptServer>(
            std::vector<Step>{Step::handshake(good_handshake()), Step::send_line("UPDATE2 VC-Fox 0.5 0")},
            listen_loopback_at(port), port);
        break;
    case Target::blackhole:
        // The same port answers again; an attempt that falls in between is
        // refused and simply retried.
        blackhole.reset();
        server = std::make_unique<ScriptServer>(
            std::vector<Step>{Step::handshake(good_handshake()), Step::send_line("UPDATE2 VC-Fox 0.5 0")},
            listen_loopback_at(port), port);
        break;
    case Target::unresolvable:
        // Nothing can ever answer; coming back means trying again and again.
        EXPECT_TRUE(wait_for_log_file(dir, "falloff resolve failed", 3));
        break;
    }
    if (server) {
        const Heard h = wait_to_hear(host, kFox, expected(0.5f, 0.0f), std::chrono::seconds(30));
        EXPECT_TRUE(heard_as(h, expected(0.5f, 0).left, expected(0.5f, 0).right)) << "never came back";
        EXPECT_TRUE(host.wait_for_log("connected to falloff 127.0.0.1:" + std::to_string(port)));
    }

    host.plugin().onServerDisconnected(kConnection);
    EXPECT_TRUE(heard_as(hear(host, kFox), 0, 0)) << "heard after the host left the server";
    host.shutdown();

    if (server) {
        EXPECT_EQ(server->errors(), std::vector<std::string>{});
    }
    EXPECT_EQ(host.contract_violations(), std::vector<std::string>{});
    const std::string log = dir.read_log().value_or("");
    EXPECT_EQ(log.find(kApiKey), std::string::npos) << "the api_key reached the log";
}

INSTANTIATE_TEST_SUITE_P(Scenarios, MisbehavingServer, ::testing::ValuesIn(scenarios()),
                         [](const ::testing::TestParamInfo<Scenario> &info) { return info.param.name; });

} // namespace
} // namespace mvtest
