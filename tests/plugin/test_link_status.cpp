// What the player sees of the link: a plugin enabled while the host is already
// on a synchronised server joins in by itself (the host sends no
// synchronisation event then), and the host's log says when the link is lost,
// refused or out of reach, once per outcome while the plugin retries, never
// with the api_key in it.
#include <gtest/gtest.h>

#include <cctype>
#include <clocale>

#include "session.h"

namespace mvtest {
namespace {

constexpr ConnectionId kConnection = 3;
constexpr UserId kFox = 2;

// Enabled mid-session, then unticked and ticked again in the same process:
// each time the link comes up and Fox is heard as the server says. Natively,
// in a decimal-comma locale, whose numbers never reach the log; and the second
// link then stays idle until the worker sends its own PING, once 20 s have
// passed (in real time; measured from before the link existed, so a slow
// machine can only make it longer).
TEST(LinkStatus, PluginEnabledOnASynchronisedServerJoinsIn) {
#if !defined(_WIN32)
    ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr) << "scripts/install-deps.sh makes this locale";
#endif
    ScriptServer server({Step::handshake(handshake()), Step::send_line("UPDATE2 VC-Fox 0.5 -0.25"),
                         Step::expect_close(), Step::accept(), Step::handshake(handshake()),
                         Step::send_line("UPDATE2 VC-Fox 1 1")});
    Plugin p(settings(server.port()));
    ASSERT_TRUE(p.host.start(roster({{kFox, "VC-Fox", ""}}), kConnection));
    EXPECT_EQ(p.wait_to_hear(kFox, expected(0.5f, -0.25f)), expected(0.5f, -0.25f));
    for (int i = 0; i < 100; ++i) // one call in a hundred is traced
        p.hear(kFox);
    p.host.shutdown();
    [[maybe_unused]] const auto before_link = std::chrono::steady_clock::now();
    ASSERT_TRUE(p.host.start());
    EXPECT_EQ(p.wait_to_hear(kFox, expected(1.0f, 1.0f)), expected(1.0f, 1.0f));
    EXPECT_TRUE(server.wait_until_done());
    EXPECT_EQ(p.host.calls(kSlotIsConnectionSynchronized), 2u);
#if !defined(_WIN32)
    ASSERT_TRUE(server.wait_for_lines("PING", 1, 1, std::chrono::seconds(60)));
    EXPECT_GE(std::chrono::steady_clock::now() - before_link, std::chrono::seconds(20));
    EXPECT_EQ(server.raw(1), "HELLO2 " + kKey + " VC-Me\nPROOF " + cert40().proof + "\nPING\n");
#endif
    p.finish(&server);
    std::setlocale(LC_ALL, "C");
    EXPECT_EQ(server.connections(), 2u);
    EXPECT_EQ(p.count("update_state alias=VC-Fox gain=0.5000 pan=-0.2500"), 1u);
    EXPECT_GE(p.count("gain=0.5000 pan=-0.2500 channels=2"), 1u); // traced calls
    EXPECT_EQ(p.count(","), 0u);
}

// A host that is not (yet) synchronised, or cannot say, leaves the plugin
// waiting for the event.
TEST(LinkStatus, NoJoinUnlessTheHostSaysItIsSynchronised) {
    const struct {
        ConnectionState state;
        size_t slot;
        Fault fault;
    } cases[] = {
        {ConnectionState::connected, kSlotFreeMemory, Fault::none},
        {ConnectionState::none, kSlotFreeMemory, Fault::none},
        {ConnectionState::synchronised, kSlotGetActiveServerConnection, Fault::status},
        {ConnectionState::synchronised, kSlotIsConnectionSynchronized, Fault::status},
        {ConnectionState::synchronised, kSlotIsConnectionSynchronized, Fault::missing},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(static_cast<int>(c.state)) + " slot " + std::to_string(c.slot));
        const mvnet::RefusedPort refused;
        Plugin p(settings(refused.port()));
        p.host.set_fault(c.slot, {c.fault, kStatusTimedOut, std::nullopt});
        p.host.set_connection(kConnection, c.state);
        ASSERT_TRUE(p.host.start());
        EXPECT_EQ(p.host.calls(kSlotGetLocalUserId), 0u);
        p.finish();
        EXPECT_EQ(p.count("falloff_connect_attempt"), 0u);
    }
}

// Each outcome reaches the host's log once while the plugin retries; the next
// connection says it is back; the key never shows, even from a server that
// echoes the greeting or quotes it in its refusal, in any letter case. A
// server that keeps closing the link before it sends anything is told once,
// and the next link is news only once something arrives on it.
TEST(LinkStatus, HostLogTellsEachOutcomeOnceAndNeverTheKey) {
    std::string shouted = kKey;
    for (char &c : shouted)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const std::string lost = "lost the link to the falloff server; everyone is silent until it is back";
    const struct {
        std::vector<Step> twice; // played on two connections in a row
        std::string told;
        size_t times = 1;   // a link that comes up in between makes the next loss news
        size_t links = 1;   // established in all
        std::string then{}; // told once after the first
    } cases[] = {
        {{Step::expect_any(), Step::send_line("HELLO2 " + kKey + " VC-Me"), Step::expect_close()},
         "the falloff server refused the greeting: HELLO2 <api_key> VC-Me"},
        {{Step::expect_any(), Step::send_line("ERR bad_key \x01" + kKey), Step::expect_close()},
         "the falloff server refused the greeting: ERR bad_key \\x01<api_key>"},
        {{Step::expect_any(), Step::send_line("ERR bad_key HELLO2 " + shouted + " VC-ME " + kKey),
          Step::expect_close()},
         "the falloff server refused the greeting: ERR bad_key HELLO2 <api_key> VC-ME <api_key>"},
        {{Step::handshake(handshake("ERR bad_proof\n")), Step::expect_close()},
         "the falloff server refused the proof: ERR bad_proof"},
        {{Step::handshake(handshake()), Step::send_line("PING"), Step::close()}, lost, 2, 3},
        {{Step::handshake(handshake()), Step::close()},
         lost,
         1,
         3,
         "the falloff server keeps closing the link right after accepting it; everyone is silent, retrying "
         "every 1 s"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.told);
        std::vector<Step> script = c.twice;
        script.push_back(Step::accept());
        script.insert(script.end(), c.twice.begin(), c.twice.end());
        script.insert(script.end(), {Step::accept(), Step::handshake(handshake()), Step::send_line("PING")});
        ScriptServer server(std::move(script));
        Plugin p(settings(server.port()));
        ASSERT_TRUE(p.host.start(roster(), kConnection));
        ASSERT_TRUE(server.wait_until_done());
        ASSERT_TRUE(p.host.wait_for_log("connected to falloff", c.links));
        p.finish();
        EXPECT_EQ(p.host_count("[marlpike_voice] " + c.told), c.times);
        EXPECT_EQ(c.then.empty() || p.host_count("[marlpike_voice] " + c.then) == 1, true) << c.then;
        EXPECT_EQ(p.dir.read_log().value_or("").find('\x01'), std::string::npos);
        EXPECT_EQ(p.dir.read_log().value_or("").find(shouted), std::string::npos);
    }
}

} // namespace
} // namespace mvtest
