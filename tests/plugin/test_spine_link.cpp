// The whole chain once, end to end: host events start the link, the scripted
// falloff server checks the proof against an independently computed vector,
// and its update reaches the audio callback. Also a rejected and a reset
// connection followed by a reconnect.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>

#include "fake_host.h"
#include "plugin_library.h"
#include "proof_vectors.h"
#include "script_server.h"

namespace mvtest {
namespace {

constexpr mv::ConnectionId kConnection = 3;
constexpr mv::UserId kLocalUser = 1;
constexpr mv::UserId kFox = 2;

class SpineLink : public ::testing::Test {
  protected:
    ScopedEnv no_env_host_{"MARLPIKE_VOICE_HOST", std::nullopt};
    ScopedEnv no_env_port_{"MARLPIKE_VOICE_PORT", std::nullopt};
    ProofVector vector_ = proof_vector("40-hex certificate hash");

    Handshake handshake() const { return {"test-key", "VC-Me", vector_.token, vector_.proof}; }

    // Brings the plugin up against the server and reports the synchronised server.
    void connect(TempPluginDir &dir, FakeHost &host, const ScriptServer &server) {
        ASSERT_TRUE(server.listening());
        ASSERT_TRUE(host.loaded()) << host.load_error();
        dir.write_ini("server_port=" + std::to_string(server.port()) +
                      "\napi_key=test-key\nreconnect_sec=1\n");
        host.set_connection(kConnection);
        host.set_local_user(kLocalUser);
        host.set_roster({{kLocalUser, "VC-Me", vector_.key}, {kFox, "VC-Fox", ""}});
        host.register_api();
        ASSERT_EQ(host.init(), 0);
        host.plugin().onServerSynchronized(kConnection);
    }

    // Feeds a unit stereo frame for the user until the result differs from
    // silence-or-untouched, or the deadline passes; returns the last result.
    static std::pair<float, float> audio_until_applied(FakeHost &host, mv::UserId user, float want_left) {
        const auto until = std::chrono::steady_clock::now() + kDefaultDeadline;
        float frame[2] = {1.0f, 1.0f};
        do {
            frame[0] = frame[1] = 1.0f;
            host.plugin().onAudioSourceFetched(frame, 1, 2, 48000, true, user);
            if (std::fabs(frame[0] - want_left) < 1e-5f) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        } while (std::chrono::steady_clock::now() < until);
        return {frame[0], frame[1]};
    }
};

TEST_F(SpineLink, HandshakeThenUpdateReachesTheAudio) {
    ASSERT_FALSE(vector_.proof.empty());
    ScriptServer server({Step::handshake(handshake()), Step::send_line("UPDATE2 VC-Fox 0.5 -0.2")});
    TempPluginDir dir;
    FakeHost host(dir.library_path());
    connect(dir, host, server);

    ASSERT_TRUE(server.wait_until_done());
    EXPECT_EQ(server.errors(), std::vector<std::string>{});
    EXPECT_TRUE(host.wait_for_log("connected to falloff 127.0.0.1:" + std::to_string(server.port())));

    const float want_left = std::sqrt(0.6f) * 0.5f;
    const auto [left, right] = audio_until_applied(host, kFox, want_left);
    EXPECT_NEAR(left, want_left, 1e-5f);
    EXPECT_NEAR(right, std::sqrt(0.4f) * 0.5f, 1e-5f);

    host.plugin().onServerDisconnected(kConnection);
    EXPECT_TRUE(server.wait_for_peer_close(0));
    host.shutdown();
    EXPECT_EQ(server.raw(0).find('\r'), std::string::npos); // the plugin ends its lines in LF alone
    EXPECT_EQ(host.contract_violations(), std::vector<std::string>{});
}

TEST_F(SpineLink, ReconnectsAfterARejectedGreetingAndAReset) {
    ScriptServer server({
        Step::expect("HELLO2 test-key VC-Me"),
        Step::send_line("NOPE"),
        Step::expect_close(),
        Step::accept(),
        Step::handshake(handshake()),
        Step::reset(),
        Step::accept(),
        Step::handshake(handshake()),
    });
    TempPluginDir dir;
    FakeHost host(dir.library_path());
    connect(dir, host, server);

    ASSERT_TRUE(server.wait_until_done(std::chrono::seconds(60)));
    EXPECT_EQ(server.errors(), std::vector<std::string>{});
    EXPECT_EQ(server.connections(), 3u);
    host.shutdown();

    const std::string log = dir.read_log().value_or("");
    EXPECT_NE(log.find("falloff_hello2_rejected reply=NOPE"), std::string::npos) << log;
    EXPECT_NE(log.find("falloff_disconnected"), std::string::npos) << log;
    EXPECT_EQ(host.contract_violations(), std::vector<std::string>{});
}

} // namespace
} // namespace mvtest
