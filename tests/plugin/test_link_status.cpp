// What the player sees of the link: a plugin enabled while the host is already
// on a synchronised server joins in by itself (the host sends no
// synchronisation event then), and the host's log says when the link is lost,
// refused or out of reach, once per outcome while the plugin retries, never
// with the api_key in it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "audio_probe.h"
#include "fake_host.h"
#include "log_file.h"
#include "lookup_probe.h"
#include "module_probe.h"
#include "plugin_library.h"
#include "proof_vectors.h"
#include "script_server.h"

namespace mvtest {
namespace {

constexpr mv::ConnectionId kConnection = 3;
constexpr mv::UserId kMe = 1, kFox = 2;
const std::string kApiKey = "ls-key-Wq8Zt3Nc6";

Handshake handshake() {
    return {kApiKey, "VC-Me", cert40().token, cert40().proof, "OK\n"};
}

std::string settings(uint16_t port) {
    return "server_port=" + std::to_string(port) + "\napi_key=" + kApiKey + "\nreconnect_sec=1\n";
}

size_t host_lines_containing(const FakeHost &host, const std::string &text) {
    const std::vector<std::string> lines = host.log_lines();
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string &line) {
        return line.find(text) != std::string::npos;
    }));
}

// Enabled mid-session, then unticked and ticked again in the same process:
// each time the link comes up and Fox is heard as the server says, without
// any synchronisation event.
TEST(LinkStatus, PluginEnabledOnASynchronisedServerJoinsIn) {
    ScriptServer server({Step::handshake(handshake()), Step::send_line("UPDATE2 VC-Fox 0.5 -1"),
                         Step::expect_close(), Step::accept(), Step::handshake(handshake()),
                         Step::send_line("UPDATE2 VC-Fox 1 1")});
    TempPluginDir dir;
    dir.write_ini(settings(server.port()));
    FakeHost host(dir.library_path());
    host.set_synchronised(true);
    ASSERT_TRUE(host.start({{kMe, "VC-Me", cert40().key}, {kFox, "VC-Fox", ""}}, kConnection));
    EXPECT_TRUE(heard_as(wait_to_hear(host, kFox, expected(0.5f, -1.0f)), 0.5f, 0.0f));

    host.shutdown();
    host.init();
    EXPECT_TRUE(heard_as(wait_to_hear(host, kFox, expected(1.0f, 1.0f)), 0.0f, 1.0f));
    EXPECT_TRUE(server.wait_until_done());
    EXPECT_EQ(server.errors(), std::vector<std::string>{});
    EXPECT_EQ(host.calls(mv::kSlotIsConnectionSynchronized), 2u);
    host.shutdown();
    EXPECT_EQ(host.contract_violations(), std::vector<std::string>{});
}

// A host that is not (yet) synchronised, or cannot say, leaves the plugin
// waiting for the event.
TEST(LinkStatus, NoJoinUnlessTheHostSaysItIsSynchronised) {
    const struct {
        const char *what;
        bool synchronised;
        mv::ApiSlot slot;
        Fault fault;
    } cases[] = {
        {"connected, not synchronised", false, mv::kSlotFreeMemory, Fault::none},
        {"no active connection", true, mv::kSlotGetActiveServerConnection, Fault::status},
        {"synchronisation slot missing", true, mv::kSlotIsConnectionSynchronized, Fault::missing},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        TempPluginDir dir;
        dir.write_ini(settings(1));
        FakeHost host(dir.library_path());
        host.set_synchronised(c.synchronised);
        host.set_fault(c.slot, {c.fault, 2, std::nullopt});
        ASSERT_TRUE(host.start({{kMe, "VC-Me", cert40().key}}, kConnection));
        EXPECT_EQ(host.calls(mv::kSlotGetLocalUserId), 0u);
        host.shutdown();
        EXPECT_EQ(count_containing(log_messages(dir), "falloff_connect_attempt"), 0u);
    }
}

// Each outcome reaches the host's log once while the plugin retries; the next
// connection says it is back; the key never shows, even from a server that
// echoes the greeting or quotes it in its refusal.
TEST(LinkStatus, HostLogTellsEachOutcomeOnceAndNeverTheKey) {
    const std::string hello = "HELLO2 " + kApiKey + " VC-Me";
    const struct {
        const char *what;
        std::vector<Step> twice; // played on two connections in a row
        std::string told;
        size_t times = 1; // a link that comes up in between makes the next loss news
        size_t links = 1; // established in all
    } cases[] = {
        {"greeting echoed",
         {Step::expect_any(), Step::send_line(hello), Step::expect_close()},
         "the falloff server refused the greeting: HELLO2 <api_key> VC-Me"},
        {"refusal quoting the key with a control byte",
         {Step::expect_any(), Step::send_line("ERR bad_key \x01" + kApiKey), Step::expect_close()},
         "the falloff server refused the greeting: ERR bad_key \\x01<api_key>"},
        {"proof refused",
         {Step::handshake({kApiKey, "VC-Me", cert40().token, cert40().proof, "ERR bad_proof\n"}),
          Step::expect_close()},
         "the falloff server refused the proof: ERR bad_proof"},
        {"link lost",
         {Step::handshake(handshake()), Step::close()},
         "lost the link to the falloff server; everyone is silent until it is back",
         2,
         3},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<Step> script = c.twice;
        script.push_back(Step::accept());
        script.insert(script.end(), c.twice.begin(), c.twice.end());
        script.push_back(Step::accept());
        script.push_back(Step::handshake(handshake()));
        ScriptServer server(std::move(script));
        TempPluginDir dir;
        dir.write_ini(settings(server.port()));
        FakeHost host(dir.library_path());
        ASSERT_TRUE(host.start({{kMe, "VC-Me", cert40().key}}, kConnection));
        host.plugin().onServerSynchronized(kConnection);
        ASSERT_TRUE(server.wait_until_done());
        ASSERT_TRUE(host.wait_for_log("connected to falloff", c.links));
        host.shutdown();
        EXPECT_EQ(host_lines_containing(host, "[marlpike_voice] " + c.told), c.times);
        const std::string log = dir.read_log().value_or("");
        EXPECT_EQ(log.find(kApiKey), std::string::npos);
        EXPECT_EQ(log.find('\x01'), std::string::npos);
    }
}

TEST(LinkStatus, AnUnreachableServerIsToldOnce) {
    uint16_t port = 0;
    net::close_socket(net::listen_loopback(&port)); // nothing listens there now
    TempPluginDir dir;
    dir.write_ini(settings(port));
    FakeHost host(dir.library_path());
    ASSERT_TRUE(host.start({{kMe, "VC-Me", cert40().key}}, kConnection));
    host.plugin().onServerSynchronized(kConnection);
    ASSERT_TRUE(wait_for_log_file(dir, "falloff_connect_fail", 3));
    host.shutdown();
    EXPECT_EQ(host_lines_containing(
                  host, "[marlpike_voice] cannot reach the falloff server 127.0.0.1:" + std::to_string(port) +
                            "; everyone is silent, retrying every 1 s"),
              1u);
}

#if !defined(_WIN32)
// A name lookup that never answers: a stop leaves it behind at once, a new
// init may rewrite the settings meanwhile (no thread of the plugin still reads
// them), and once the lookups end nothing of the plugin stays mapped.
TEST(LinkStatus, AStopLeavesAHangingLookupBehind) {
    hold_lookups();
    TempPluginDir dir;
    dir.write_ini(std::string("server_host=") + kHangingName + "\napi_key=" + kApiKey +
                  "\nreconnect_sec=30\n");
    const std::string library = dir.library_path();
    auto host = std::make_unique<FakeHost>(library);
    ASSERT_TRUE(host->start({{kMe, "VC-Me", cert40().key}}, kConnection));
    for (size_t round = 1; round <= 2; ++round) {
        host->plugin().onServerSynchronized(kConnection);
        const auto until = std::chrono::steady_clock::now() + kDefaultDeadline;
        while (lookups_held() < round && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_EQ(lookups_held(), round);
        host->plugin().onServerDisconnected(kConnection);
        host->shutdown();
        dir.write_ini(std::string("server_host=") + kHangingName + "\napi_key=other\n");
        ASSERT_EQ(host->init(), 0);
    }
    host->shutdown();
    EXPECT_EQ(lookups_held(), 2u);
    release_lookups();
    host->unload();
    host.reset();
    const auto until = std::chrono::steady_clock::now() + kDefaultDeadline;
    while (library_mapped(library) && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_FALSE(library_mapped(library));
    EXPECT_EQ(count_containing(log_messages(dir), "falloff resolve failed"), 0u);
}

// A host in a decimal-comma locale: the log's numbers keep their point.
TEST(LinkStatus, LogNumbersIgnoreTheHostsLocale) {
    ScriptServer server({Step::handshake(handshake()), Step::send_line("UPDATE2 VC-Fox 0.5 -0.25")});
    TempPluginDir dir;
    dir.write_ini(settings(server.port()));
    FakeHost host(dir.library_path());
    ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr) << "scripts/install-deps.sh makes this locale";
    ASSERT_TRUE(host.start({{kMe, "VC-Me", cert40().key}, {kFox, "VC-Fox", ""}}, kConnection));
    host.plugin().onServerSynchronized(kConnection);
    wait_to_hear(host, kFox, expected(0.5f, -0.25f));
    for (int i = 0; i < 100; ++i) // one call in a hundred is traced
        hear(host, kFox);
    host.shutdown();
    std::setlocale(LC_ALL, "C");
    const std::vector<std::string> messages = log_messages(dir);
    EXPECT_EQ(count_containing(messages, "update_state alias=VC-Fox gain=0.5000 pan=-0.2500"), 1u);
    EXPECT_GE(count_containing(messages, "gain=0.5000 pan=-0.2500 channels=2"), 1u);
    EXPECT_EQ(count_containing(messages, ","), 0u);
}
#endif

} // namespace
} // namespace mvtest
