// Falloff servers that misbehave on purpose, against the real plugin library.
// Each scenario plays one bad connection (or an address that never gives
// one), then checks what the log file says about it, that no speaker is heard
// while no link is established, and that the plugin comes back by itself and
// obeys a well-behaved server afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <memory>
#include <optional>

#include "session.h"

namespace mvtest {
namespace {

constexpr ConnectionId kConnection = 5;
constexpr UserId kFox = 2, kOwl = 3, kElk = 4, kCat = 5, kLate = 6;
constexpr const char *kAttempt = "falloff_connect_attempt";
const std::string kHello = "HELLO2 " + kKey + " VC-Me";

// Where the plugin is pointed for its first attempts.
enum class Target { server, refused_port, blackhole, unresolvable };

struct Scenario {
    const char *name = "";
    Target target = Target::server;
    std::vector<Step> first{}; // connection 0; the well-behaved tail follows
    // A scenario that listens during connection 0 holds it at a gate of its
    // own: Fox must be heard as heard, then exactly replies OK lines must have
    // come (a further one would arrive well within half a second of what was
    // heard), the others must be heard as listed, and the gate opens.
    std::optional<Heard> heard{};
    size_t replies = 0;
    std::vector<std::pair<UserId, Heard>> others{}; // heard as well
    // Before the second attempt the log holds a message that is "text", one
    // that begins with "text*", none that contains "-text", and exactly N
    // that contain "N text".
    std::vector<std::string> log{};
};

void PrintTo(const Scenario &c, std::ostream *out) {
    *out << c.name;
}

std::string lines(size_t n, const std::function<std::string(size_t)> &line) {
    std::string out;
    for (size_t i = 0; i < n; ++i)
        out += line(i) + "\n";
    return out;
}

std::string padded(std::string text, size_t size, char pad) {
    text.resize(size, pad);
    return text;
}

std::vector<Scenario> scenarios() {
    using namespace std::string_literals;
    const auto with_link = [](std::vector<Step> steps, bool close_at_gate = false) {
        steps.insert(steps.begin(), Step::handshake(handshake()));
        if (close_at_gate) steps.insert(steps.end(), {Step::gate(), Step::close()});
        return steps;
    };
    const auto then_close = [&](std::vector<Step> steps) { return with_link(std::move(steps), true); };
    // 100 000 bytes in one line: cut every 8191 characters, so the second
    // piece is a line of its own that begins with UPDATE3.
    const std::string big =
        padded(padded("UPDATE2 VC-Fox 0.25 0", 8191, ' ') + padded("UPDATE3 VC-Fox 0.125 0", 8191, ' '),
               100000, 'x');
    return {
        {.name = "SilenceAfterAccept",
         .first = {Step::expect_close()},
         .log = {"falloff_hello2_rejected reply=", "-connected to falloff"}},
        // HELLO2 fits in the socket's buffer, so the plugin waits for a reply
        // that never comes and gives up after its receive time-out.
        {.name = "AcceptsAndNeverReads",
         .first = {Step::silent(7000), Step::expect_close()},
         .log = {"falloff_hello2_rejected reply=", "-connected to falloff"}},
        // The partial challenge counts as the line once the receive gives up.
        {.name = "ChallengeWithoutLineEndThenPause",
         .first = {Step::expect(kHello), Step::send("CHALLENGE " + cert40().token),
                   Step::expect("PROOF " + cert40().proof), Step::send_line("OK"),
                   Step::send_line("UPDATE2 VC-Fox 0.25 0"), Step::gate(), Step::close()},
         .heard = expected(0.25f, 0),
         .log = {"falloff_disconnected wsa=*", "1 connected to falloff"}},
        {.name = "ProofReplyOkWithASpace",
         .first = {Step::handshake(handshake("OK \n")), Step::expect_close()},
         .log = {"falloff_proof_rejected reply=OK ", "-connected to falloff"}},
        // CR is dropped wherever it stands, so "OK\r\n" is a plain OK.
        {.name = "ProofReplyOkCrLf",
         .first = {Step::handshake(handshake("OK\r\n")), Step::send_line("UPDATE2 VC-Fox 0.25 0.5"),
                   Step::gate(), Step::close()},
         .heard = expected(0.25f, 0.5f),
         .log = {"1 connected to falloff"}},
        // The half line before the close is dropped, not applied.
        {.name = "CloseInTheMiddleOfAnUpdate",
         .first = with_link({Step::send_line("UPDATE2 VC-Fox 0.25 0"), Step::gate(),
                             Step::send("UPDATE2 VC-Fox 0.75 0"), Step::close()}),
         .heard = expected(0.25f, 0),
         .log = {"falloff_disconnected wsa=*", "1 received UPDATE2"}},
        {.name = "ResetWhileAwaitingTheAccept",
         .first = {Step::handshake(handshake("")), Step::reset()},
         .log = {"falloff_proof_rejected reply=", "-connected to falloff"}},
        // Wine reports a reset as an orderly close: only elsewhere is its code asked for.
        {.name = "ResetOnAnEstablishedLink",
         .first = with_link({Step::send_line("UPDATE2 VC-Fox 0.25 0"), Step::gate(), Step::reset()}),
         .heard = expected(0.25f, 0),
         .log = {"falloff_disconnected wsa=*", mvnet::resets_read_as_closes() ? "" : "-wsa=0"}},
        {.name = "LineOf100000Bytes",
         .first = then_close({Step::send(big + "\n"), Step::send_line("UPDATE2 VC-Fox 0.75 0.5")}),
         .heard = expected(0.75f, 0.5f),
         .log = {"2 received UPDATE2 with 1 speakers", "1 received UPDATE3 with 1 speakers"}},
        // CR inside a keyword is dropped; NUL ends a line's text, so "PI\0NG"
        // is no PING and the entry after a NUL is not read.
        {.name = "NulAndCrInsideLines",
         .first = then_close({Step::send("UPD\rATE2 VC-Fox 0.5\r -0.5\r\n"), Step::send("PI\0NG\n"s),
                              Step::send_line("PING"), Step::send("UPDATE2 VC-Fox 0.25 0\0, VC-Fox 1 1\n"s)}),
         .heard = expected(0.25f, 0),
         .replies = 1,
         .log = {"update_state alias=VC-Fox gain=0.5000 pan=-0.5000", "2 received UPDATE2 with 1 speakers"}},
        {.name = "Flood10000Updates",
         .first = then_close({Step::send(
             lines(9999, [](size_t i) { return "UPDATE2 VC-Fox 0." + std::to_string(i % 100) + " 0.1"; }) +
             "UPDATE2 VC-Fox 0.375 -0.5\n")}),
         .heard = expected(0.375f, -0.5f),
         .log = {"10000 received UPDATE2 with 1 speakers"}},
        {.name = "PingFlood",
         .first = then_close({Step::send(lines(10000, [](size_t) { return "PING"; })),
                              Step::send_line("UPDATE2 VC-Fox 0.25 0")}),
         .heard = expected(0.25f, 0),
         .replies = 10000,
         .log = {"1 received UPDATE2"}},
        // A gain that is no number drops its entry or reads as 0; never does a
        // NaN reach the table or the samples.
        {.name = "NonNumericAndNanGains",
         .first = then_close({Step::send_line(
             "UPDATE2 VC-Fox abc 0.5, VC-Owl nan 0.25, VC-Elk 0.5 nan, VC-Cat inf -inf, VC-Late -nan")}),
         .others = {{kCat, {1.0f, 0.0f}},
                    {kElk, expected(0.5f, 0)},
                    {kFox, kSilent},
                    {kOwl, kSilent},
                    {kLate, kSilent}},
         .log = {"received UPDATE2 with 4 speakers", "update_state alias=VC-Owl gain=0.0000 pan=0.2500",
                 "update_state alias=VC-Elk gain=0.5000 pan=0.0000",
                 "update_state alias=VC-Cat gain=1.0000 pan=-1.0000",
                 "update_state alias=VC-Late gain=0.0000 pan=0.0000", "-nan", "-VC-Fox gain"}},
        {.name = "RefusedPort",
         .target = Target::refused_port,
         .log = {"falloff_connect_fail host=127.0.0.1 port=*", "-resolve failed"}},
        {.name = "ConnectNeverAnswered",
         .target = Target::blackhole,
         .log = {"falloff_connect_fail host=127.0.0.1 port=*", "-resolve failed"}},
        // A name with a space and an empty label is refused by the resolver
        // before any query leaves the machine.
        {.name = "HostNameThatDoesNotResolve",
         .target = Target::unresolvable,
         .log = {"falloff resolve failed host=no such host..invalid port=*",
                 "falloff_connect_fail host=no such host..invalid port=*"}},
    };
}

// Whether the messages hold what one entry of Scenario::log asks for.
bool holds(const std::vector<std::string> &messages, const std::string &want) {
    if (want.empty()) return true;
    if (want[0] == '-') return count_in(messages, want.substr(1)) == 0;
    if (std::isdigit(static_cast<unsigned char>(want[0])))
        return count_in(messages, want.substr(want.find(' ') + 1)) == std::stoul(want);
    return std::any_of(messages.begin(), messages.end(), [&](const std::string &m) {
        return want.ends_with('*') ? m.starts_with(want.substr(0, want.size() - 1)) : m == want;
    });
}

class MisbehavingServer : public ::testing::TestWithParam<Scenario> {};

TEST_P(MisbehavingServer, LogsItStaysSilentAndComesBack) {
    const Scenario &sc = GetParam();
    const std::vector<Step> good{Step::handshake(handshake()), Step::send_line("UPDATE2 VC-Fox 0.5 0")};
    std::unique_ptr<ScriptServer> server;
    std::unique_ptr<mvnet::BlackholeListener> blackhole;
    std::unique_ptr<mvnet::RefusedPort> refused; // held until the same port listens
    uint16_t port = 9;
    if (sc.target == Target::server) {
        std::vector<Step> script = sc.first;
        script.insert(script.end(), {Step::gate(), Step::accept()}); // held until the checks are done
        script.insert(script.end(), good.begin(), good.end());
        server = std::make_unique<ScriptServer>(std::move(script));
        port = server->port();
    } else if (sc.target == Target::blackhole) {
        blackhole = std::make_unique<mvnet::BlackholeListener>();
        ASSERT_TRUE(blackhole->ready()) << "the listener's queue could not be filled";
        port = blackhole->port();
    } else if (sc.target == Target::refused_port) {
        refused = std::make_unique<mvnet::RefusedPort>();
        port = refused->port();
    }
    const bool named = sc.target == Target::unresolvable;
    Plugin p(settings(port, named ? "server_host=no such host..invalid\n" : ""));
    ASSERT_TRUE(p.host.start());
    EXPECT_EQ(p.hear(kFox), kSilent) << "heard before any link";
    std::vector<RosterUser> others;
    for (const char *name : {"VC-Fox", "VC-Owl", "VC-Elk", "VC-Cat", "VC-Late"})
        others.push_back({static_cast<UserId>(others.size() + 2), name, ""});
    p.host.join(kConnection, roster(others));
    // Long enough for a flood: each update writes a log line, and each line
    // opens the file, which under Wine on a busy machine takes a millisecond
    // or more.
    if (sc.heard) {
        EXPECT_EQ(p.wait_to_hear(kFox, *sc.heard, std::chrono::seconds(90)), *sc.heard);
    }
    if (sc.replies != 0) {
        EXPECT_TRUE(server->wait_for_lines("OK", sc.replies, 0));
        EXPECT_FALSE(server->wait_for_lines("OK", sc.replies + 1, 0, std::chrono::milliseconds(500)));
    }
    for (const auto &[user, want] : sc.others)
        EXPECT_EQ(p.wait_to_hear(user, want), want) << user;
    if (sc.heard || !sc.others.empty()) server->open_gate();

    // The second attempt comes after the first connection is over and the
    // table is emptied; the server holds still at its gate meanwhile.
    ASSERT_TRUE(p.wait_log(kAttempt, 2)) << testing::PrintToString(p.log());
    EXPECT_EQ(p.hear(kFox), kSilent) << "heard with no link";
    std::vector<std::string> before = p.log();
    before.erase(std::find_if(before.begin(), before.end(),
                              [seen = 0](const std::string &m) mutable {
                                  return m.starts_with(kAttempt) && ++seen == 2;
                              }),
                 before.end());
    for (const std::string &want : sc.log)
        EXPECT_TRUE(holds(before, want)) << want;

    // Back to a well-behaved server.
    if (named) {
        EXPECT_TRUE(p.wait_log("falloff resolve failed", 3)); // nothing can ever answer
    } else if (server) {
        server->open_gate();
    } else {
        // The same port answers now; an attempt that falls in between is
        // refused and simply retried. A port that refused three times was
        // told to the host once.
        EXPECT_TRUE(blackhole || p.wait_log("falloff_connect_fail", 3));
        blackhole.reset();
        server = std::make_unique<ScriptServer>(
            good, refused ? refused->listen() : mvnet::listen_loopback_at(port), port);
    }
    if (server) {
        EXPECT_EQ(p.wait_to_hear(kFox, expected(0.5f, 0), std::chrono::seconds(30)), expected(0.5f, 0));
        EXPECT_TRUE(p.host.wait_for_log("connected to falloff 127.0.0.1:" + std::to_string(port)));
    }
    p.host.leave();
    EXPECT_EQ(p.hear(kFox), kSilent) << "heard after the host left the server";
    if (sc.target == Target::refused_port) {
        EXPECT_EQ(p.host_count("cannot reach the falloff server 127.0.0.1:" + std::to_string(port) +
                               "; everyone is silent, retrying every 1 s"),
                  1u);
    }
    p.finish(server.get());
}

INSTANTIATE_TEST_SUITE_P(Scenarios, MisbehavingServer, ::testing::ValuesIn(scenarios()),
                         [](const ::testing::TestParamInfo<Scenario> &info) { return info.param.name; });

} // namespace
} // namespace mvtest
