// What the player sees of the link: a plugin enabled while the host is already
// on a synchronised server joins in by itself (the host sends no
// synchronisation event then), and the host's log says when the link is lost,
// refused or out of reach, once per outcome while the plugin retries, never
// with the api_key in it.
#include <gtest/gtest.h>

#include <clocale>

#include "lookup_probe.h"
#include "os_probe.h"
#include "session.h"

namespace mvtest {
namespace {

constexpr ConnectionId kConnection = 3;
constexpr UserId kFox = 2;

// Enabled mid-session, then unticked and ticked again in the same process:
// each time the link comes up and Fox is heard as the server says.
TEST(LinkStatus, PluginEnabledOnASynchronisedServerJoinsIn) {
    ScriptServer server({Step::handshake(handshake()), Step::send_line("UPDATE2 VC-Fox 0.5 -1"),
                         Step::expect_close(), Step::accept(), Step::handshake(handshake()),
                         Step::send_line("UPDATE2 VC-Fox 1 1")});
    Plugin p(settings(server.port()));
    ASSERT_TRUE(p.host.start(roster({{kFox, "VC-Fox", ""}}), kConnection));
    EXPECT_EQ(p.wait_to_hear(kFox, expected(0.5f, -1.0f)), expected(0.5f, -1.0f));
    p.host.shutdown();
    ASSERT_TRUE(p.host.start());
    EXPECT_EQ(p.wait_to_hear(kFox, expected(1.0f, 1.0f)), expected(1.0f, 1.0f));
    EXPECT_TRUE(server.wait_until_done());
    EXPECT_EQ(p.host.calls(mvhost::kSlotIsConnectionSynchronized), 2u);
    p.finish();
    EXPECT_EQ(server.errors(), kNone);
}

// A host that is not (yet) synchronised, or cannot say, leaves the plugin
// waiting for the event.
TEST(LinkStatus, NoJoinUnlessTheHostSaysItIsSynchronised) {
    using mvhost::ConnectionState;
    const struct {
        ConnectionState state;
        size_t slot;
        Fault fault;
    } cases[] = {
        {ConnectionState::connected, mvhost::kSlotFreeMemory, Fault::none},
        {ConnectionState::none, mvhost::kSlotFreeMemory, Fault::none},
        {ConnectionState::synchronised, mvhost::kSlotGetActiveServerConnection, Fault::status},
        {ConnectionState::synchronised, mvhost::kSlotIsConnectionSynchronized, Fault::status},
        {ConnectionState::synchronised, mvhost::kSlotIsConnectionSynchronized, Fault::missing},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(static_cast<int>(c.state)) + " slot " + std::to_string(c.slot));
        Plugin p(settings(mvnet::refused_port()));
        p.host.set_fault(c.slot, {c.fault, mvhost::kStatusTimedOut, std::nullopt});
        p.host.set_roster(roster());
        p.host.set_local_user(kMe);
        p.host.set_connection(kConnection, c.state);
        ASSERT_TRUE(p.host.start());
        EXPECT_EQ(p.host.calls(mvhost::kSlotGetLocalUserId), 0u);
        p.finish();
        EXPECT_EQ(p.count("falloff_connect_attempt"), 0u);
    }
}

// Each outcome reaches the host's log once while the plugin retries; the next
// connection says it is back; the key never shows, even from a server that
// echoes the greeting or quotes it in its refusal.
TEST(LinkStatus, HostLogTellsEachOutcomeOnceAndNeverTheKey) {
    const struct {
        std::vector<Step> twice; // played on two connections in a row
        std::string told;
        size_t times = 1; // a link that comes up in between makes the next loss news
        size_t links = 1; // established in all
    } cases[] = {
        {{Step::expect_any(), Step::send_line("HELLO2 " + kKey + " VC-Me"), Step::expect_close()},
         "the falloff server refused the greeting: HELLO2 <api_key> VC-Me"},
        {{Step::expect_any(), Step::send_line("ERR bad_key \x01" + kKey), Step::expect_close()},
         "the falloff server refused the greeting: ERR bad_key \\x01<api_key>"},
        {{Step::handshake(handshake("ERR bad_proof\n")), Step::expect_close()},
         "the falloff server refused the proof: ERR bad_proof"},
        {{Step::handshake(handshake()), Step::close()},
         "lost the link to the falloff server; everyone is silent until it is back",
         2,
         3},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.told);
        std::vector<Step> script = c.twice;
        script.push_back(Step::accept());
        script.insert(script.end(), c.twice.begin(), c.twice.end());
        script.insert(script.end(), {Step::accept(), Step::handshake(handshake())});
        ScriptServer server(std::move(script));
        Plugin p(settings(server.port()));
        ASSERT_TRUE(p.host.start(roster(), kConnection));
        ASSERT_TRUE(server.wait_until_done());
        ASSERT_TRUE(p.host.wait_for_log("connected to falloff", c.links));
        p.finish();
        EXPECT_EQ(p.host_count("[marlpike_voice] " + c.told), c.times);
        EXPECT_EQ(p.dir.read_log().value_or("").find('\x01'), std::string::npos);
    }
}

TEST(LinkStatus, AnUnreachableServerIsToldOnce) {
    const uint16_t port = mvnet::refused_port();
    Plugin p(settings(port));
    ASSERT_TRUE(p.host.start(roster(), kConnection));
    ASSERT_TRUE(p.wait_log("falloff_connect_fail", 3));
    p.finish();
    EXPECT_EQ(p.host_count("[marlpike_voice] cannot reach the falloff server 127.0.0.1:" +
                           std::to_string(port) + "; everyone is silent, retrying every 1 s"),
              1u);
}

#if !defined(_WIN32)
// A name lookup that never answers: a stop leaves it behind at once, a new
// init may rewrite the settings meanwhile (no thread of the plugin still reads
// them), and once the lookups end nothing of the plugin stays mapped.
TEST(LinkStatus, AStopLeavesAHangingLookupBehind) {
    hold_lookups();
    Plugin p(settings(1, std::string("server_host=") + kHangingName + "\nreconnect_sec=30\n"));
    ASSERT_TRUE(p.host.start());
    for (size_t round = 1; round <= 2; ++round) {
        p.host.join(kConnection, roster());
        ASSERT_TRUE(eventually([&] { return lookups_held() == round; }));
        p.host.leave();
        p.host.shutdown();
        p.dir.write_ini(std::string("server_host=") + kHangingName + "\napi_key=other\n");
        ASSERT_TRUE(p.host.start());
    }
    p.finish();
    EXPECT_EQ(lookups_held(), 2u);
    release_lookups();
    p.host.unload();
    EXPECT_TRUE(eventually([&] { return !library_mapped(p.dir.library_path()); }));
    EXPECT_EQ(p.count("falloff resolve failed"), 0u);
}

// A host in a decimal-comma locale: the log's numbers keep their point.
TEST(LinkStatus, LogNumbersIgnoreTheHostsLocale) {
    ScriptServer server({Step::handshake(handshake()), Step::send_line("UPDATE2 VC-Fox 0.5 -0.25")});
    Plugin p(settings(server.port()));
    ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr) << "scripts/install-deps.sh makes this locale";
    ASSERT_TRUE(p.host.start(roster({{kFox, "VC-Fox", ""}}), kConnection));
    p.wait_to_hear(kFox, expected(0.5f, -0.25f));
    for (int i = 0; i < 100; ++i) // one call in a hundred is traced
        p.hear(kFox);
    p.finish();
    std::setlocale(LC_ALL, "C");
    EXPECT_EQ(p.count("update_state alias=VC-Fox gain=0.5000 pan=-0.2500"), 1u);
    EXPECT_GE(p.count("gain=0.5000 pan=-0.2500 channels=2"), 1u);
    EXPECT_EQ(p.count(","), 0u);
}
#endif

} // namespace
} // namespace mvtest
