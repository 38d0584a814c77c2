// The falloff link against the scripted server: the handshake byte for byte
// with every independently computed proof, each way the server can turn the
// plugin away (and the reconnect that follows), the 512-speaker cap with its
// log lines, the table emptied when the link ends, and the worker's own PING.
#include <gtest/gtest.h>

#include <algorithm>

#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fake_host.h"
#include "log_file.h"
#include "plugin_library.h"
#include "proof_vectors.h"
#include "script_server.h"

namespace mvtest {
namespace {

using Clock = std::chrono::steady_clock;

constexpr mv::ConnectionId kConnection = 5;
constexpr mv::UserId kLocalUser = 1;
constexpr mv::UserId kFox = 2;
constexpr char kApiKey[] = "test-key";
constexpr char kLocalAlias[] = "VC-Me";
// The settings file's reconnect_sec.
constexpr std::chrono::milliseconds kBackoff{1000};

class Link : public ::testing::Test {
  protected:
    const ProofVector &vector_ = cert40();

    Handshake handshake(std::string reply = "OK\n") const {
        return {kApiKey, kLocalAlias, vector_.token, vector_.proof, std::move(reply)};
    }

    // Loads the plugin, points it at port and joins a Mumble server whose local
    // user has the vector's certificate hash.
    void start(TempPluginDir &dir, FakeHost &host, uint16_t port, std::vector<RosterUser> others = {},
               const std::string &key = cert40().key) {
        dir.write_ini("server_port=" + std::to_string(port) + "\napi_key=" + kApiKey + "\nreconnect_sec=1\n");
        std::vector<RosterUser> roster{{kLocalUser, kLocalAlias, key}};
        roster.insert(roster.end(), others.begin(), others.end());
        ASSERT_TRUE(host.start(std::move(roster), kConnection)) << host.load_error();
        host.plugin().onServerSynchronized(kConnection);
    }

    // One stereo frame of ones for user; gives back the two factors applied.
    static std::pair<float, float> stereo_factors(FakeHost &host, mv::UserId user) {
        float frame[2] = {1.0f, 1.0f};
        EXPECT_TRUE(host.plugin().onAudioSourceFetched(frame, 1, 2, 48000, true, user));
        return {frame[0], frame[1]};
    }

    // Polls until user is heard with the left factor wanted, or the deadline.
    static bool wait_for_left_factor(FakeHost &host, mv::UserId user, float want) {
        const auto until = Clock::now() + kDefaultDeadline;
        while (Clock::now() < until) {
            if (stereo_factors(host, user).first == want) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    static void finish(FakeHost &host) {
        host.shutdown();
        EXPECT_EQ(host.contract_violations(), std::vector<std::string>{});
    }
};

// The plugin's two handshake lines, byte for byte, for every proof vector: the
// key (the certificate hash) from one byte to 127, the token from empty to the
// longest a challenge line can carry, and a token with a trailing space.
TEST_F(Link, HandshakeBytesForEveryProofVector) {
    const std::vector<ProofVector> vectors = load_proof_vectors();
    ASSERT_GE(vectors.size(), 7u) << "tests/vectors/proof.tsv missing or cut";
    for (const ProofVector &v : vectors) {
        SCOPED_TRACE(v.note);
        // A challenge line of 8191 characters ends by itself: the LF after it
        // would be read as an empty line (see the rejection cases below).
        const std::string challenge = "CHALLENGE " + v.token;
        ScriptServer server({
            Step::expect("HELLO2 test-key VC-Me"),
            Step::send(challenge.size() < 8191 ? challenge + "\n" : challenge),
            Step::expect("PROOF " + v.proof),
            Step::send_line("OK"),
        });
        TempPluginDir dir;
        FakeHost host(dir.library_path());
        start(dir, host, server.port(), {}, v.key);

        ASSERT_TRUE(server.wait_until_done());
        EXPECT_EQ(server.errors(), std::vector<std::string>{});
        EXPECT_TRUE(host.wait_for_log("[marlpike_voice] connected to falloff 127.0.0.1:" +
                                      std::to_string(server.port())));
        EXPECT_EQ(server.raw(0), std::string("HELLO2 test-key VC-Me\nPROOF ") + v.proof + "\n");
        EXPECT_EQ(server.connections(), 1u);
        finish(host);
    }
}

// Every way the server can turn the plugin away during the handshake: the
// reason is logged with the reply as received, and the next attempt comes
// one backoff later and succeeds.
TEST_F(Link, EachRejectionIsLoggedAndFollowedByAReconnect) {
    const struct {
        const char *what;
        std::vector<Step> rejection; // the first connection's script
        std::string line;            // the log message it must produce
    } cases[] = {
        {"reply is not a challenge",
         {Step::expect("HELLO2 test-key VC-Me"), Step::send_line("challenge abc"), Step::expect_close()},
         "falloff_hello2_rejected reply=challenge abc"},
        {"challenge without its space",
         {Step::expect("HELLO2 test-key VC-Me"), Step::send_line("CHALLENGE"), Step::expect_close()},
         "falloff_hello2_rejected reply=CHALLENGE"},
        {"closed before the challenge",
         {Step::expect("HELLO2 test-key VC-Me"), Step::close()},
         "falloff_hello2_rejected reply="},
        {"reset before the challenge",
         {Step::expect("HELLO2 test-key VC-Me"), Step::reset()},
         "falloff_hello2_rejected reply="},
        {"closed inside the challenge line",
         {Step::expect("HELLO2 test-key VC-Me"), Step::send("CHALLENGE ab"), Step::pause(200), Step::close()},
         "falloff_hello2_rejected reply=CHALLENGE ab"},
        {"accept in lower case",
         {Step::handshake(handshake("ok\n")), Step::expect_close()},
         "falloff_proof_rejected reply=ok"},
        {"accept with a trailing space",
         {Step::handshake(handshake("OK \n")), Step::expect_close()},
         "falloff_proof_rejected reply=OK "},
        {"refusal in words",
         {Step::handshake(handshake("DENIED bad proof\n")), Step::expect_close()},
         "falloff_proof_rejected reply=DENIED bad proof"},
        {"closed instead of the accept",
         {Step::handshake(handshake("")), Step::close()},
         "falloff_proof_rejected reply="},
        // The longest challenge line ends at its 8191st character, so its LF
        // begins the next line: an empty one, taken as the reply to PROOF.
        {"challenge at the line limit, then its LF",
         {Step::expect("HELLO2 test-key VC-Me"), Step::send_line("CHALLENGE " + std::string(8181, 'x')),
          Step::expect_prefix("PROOF "), Step::send_line("OK"), Step::expect_close()},
         "falloff_proof_rejected reply="},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<Step> script = c.rejection;
        script.push_back(Step::accept());
        script.push_back(Step::handshake(handshake()));
        ScriptServer server(std::move(script));
        TempPluginDir dir;
        FakeHost host(dir.library_path());
        const auto before_first_attempt = Clock::now();
        start(dir, host, server.port());

        ASSERT_TRUE(server.wait_until_done());
        const auto after_second_connection = Clock::now();
        EXPECT_EQ(server.errors(), std::vector<std::string>{});
        EXPECT_EQ(server.connections(), 2u);
        // Both ends of the measurement lie outside the two connections, so
        // this holds however slowly the machine runs.
        EXPECT_GE(after_second_connection - before_first_attempt, kBackoff);
        ASSERT_TRUE(host.wait_for_log("connected to falloff"));
        finish(host);

        const std::string attempt =
            "falloff_connect_attempt host=127.0.0.1 port=" + std::to_string(server.port());
        // The host's log says it too, with the reply (or that none came).
        const bool greeting = c.line.rfind("falloff_hello2_rejected", 0) == 0;
        const std::string reply = c.line.substr(c.line.find('=') + 1);
        const std::string told = std::string("the falloff server refused the ") +
                                 (greeting ? "greeting: " : "proof: ") +
                                 (reply.empty() ? "(no reply)" : reply);
        const std::vector<std::string> host_lines = host.log_lines();
        EXPECT_EQ(std::count(host_lines.begin(), host_lines.end(), "[marlpike_voice] " + told), 1);
        EXPECT_EQ(log_messages(dir),
                  (std::vector<std::string>{
                      "loaded version=0.5.4 config=" + dir.ini_path() +
                          " host=127.0.0.1 port=" + std::to_string(server.port()) + " enabled=1",
                      "local voice alias=VC-Me",
                      "local Mumble hash=" + vector_.key.substr(0, 8),
                      "refreshed 1 Mumble voice aliases",
                      "alias_map user_id=1 alias=VC-Me",
                      attempt,
                      c.line,
                      told,
                      attempt,
                      "connected to falloff 127.0.0.1:" + std::to_string(server.port()),
                  }));
    }
}

// 600 distinct speakers: the first 512 are kept, in order; the count line, 8
// per-speaker lines and the number left out are logged.
TEST_F(Link, UpdateOfSixHundredSpeakersKeepsTheFirst512) {
    std::string update = "UPDATE2";
    for (int i = 0; i < 600; ++i)
        update += (i == 0 ? " VC-" : ",VC-") + std::to_string(i) + " 1";
    ASSERT_LT(update.size(), 8191u); // one line, not cut by the line limit
    ScriptServer server({Step::handshake(handshake()), Step::send_line(update)});
    TempPluginDir dir;
    FakeHost host(dir.library_path());
    const std::vector<RosterUser> speakers{
        {100, "VC-0", ""}, {611, "VC-511", ""}, {612, "VC-512", ""}, {699, "VC-599", ""}};
    start(dir, host, server.port(), speakers);

    // The omitted count is the update's last line.
    ASSERT_TRUE(wait_for_log_file(dir, "update_state omitted="));
    const std::vector<std::string> messages = log_messages(dir);
    size_t at = 0;
    while (at < messages.size() && !messages[at].starts_with("received UPDATE2"))
        ++at;
    ASSERT_LE(at + 10, messages.size());
    EXPECT_EQ(messages[at], "received UPDATE2 with 512 speakers");
    for (size_t i = 0; i < 8; ++i)
        EXPECT_EQ(messages[at + 1 + i],
                  "update_state alias=VC-" + std::to_string(i) + " gain=1.0000 pan=0.0000");
    EXPECT_EQ(messages[at + 9], "update_state omitted=504");
    EXPECT_EQ(count_containing(messages, "update_state"), 9u);

    const float centre = std::sqrt(0.5f);
    const struct {
        mv::UserId user;
        float factor;
    } heard[] = {{100, centre}, {611, centre}, {612, 0.0f}, {699, 0.0f}};
    for (const auto &h : heard) {
        SCOPED_TRACE(h.user);
        const auto [left, right] = stereo_factors(host, h.user);
        EXPECT_EQ(left, h.factor);
        EXPECT_EQ(right, h.factor);
    }
    finish(host);
}

// When the server ends an established link the speakers fall silent without
// waiting for a new link (none can be made here: the server is gone).
TEST_F(Link, TableIsEmptiedWhenTheLinkEnds) {
    auto server = std::make_unique<ScriptServer>(std::vector<Step>{
        Step::handshake(handshake()),
        Step::send_line("PING"),
        Step::expect("OK"),
        Step::send_line("UPDATE2 VC-Fox 1 -1"),
    });
    const uint16_t port = server->port();
    TempPluginDir dir;
    FakeHost host(dir.library_path());
    start(dir, host, port, {{kFox, "VC-Fox", ""}});

    ASSERT_TRUE(wait_for_left_factor(host, kFox, 1.0f));
    EXPECT_EQ(stereo_factors(host, kFox), (std::pair<float, float>{1.0f, 0.0f}));
    ASSERT_TRUE(server->wait_until_done());
    EXPECT_EQ(server->errors(), std::vector<std::string>{});
    server.reset(); // closes the link and the listener

    ASSERT_TRUE(wait_for_log_file(dir, "falloff_disconnected wsa="));
    EXPECT_TRUE(wait_for_left_factor(host, kFox, 0.0f));
    EXPECT_EQ(stereo_factors(host, kFox), (std::pair<float, float>{0.0f, 0.0f}));
    // The worker goes on trying the vanished server, and the table stays empty.
    ASSERT_TRUE(wait_for_log_file(dir, "falloff_connect_fail host=127.0.0.1 port=" + std::to_string(port)));
    EXPECT_EQ(stereo_factors(host, kFox), (std::pair<float, float>{0.0f, 0.0f}));
    finish(host);
}

// An idle link: the worker sends its own PING once 20 s have passed. This one
// test waits in real time (about 25 s), natively only.
TEST_F(Link, IdleLinkSendsPingAfterTwentySeconds) {
#if defined(_WIN32)
    GTEST_SKIP() << "the real-time PING wait runs natively only";
#else
    ScriptServer server({Step::handshake(handshake())});
    TempPluginDir dir;
    FakeHost host(dir.library_path());
    const auto before_link = Clock::now();
    start(dir, host, server.port());
    ASSERT_TRUE(server.wait_until_done());
    ASSERT_TRUE(server.wait_for_lines("PING", 1, 0, std::chrono::seconds(60)));
    // Measured from before the link existed, so a slow machine can only make
    // it longer: a PING sent early cannot pass.
    EXPECT_GE(Clock::now() - before_link, std::chrono::seconds(20));
    EXPECT_EQ(server.lines(0),
              (std::vector<std::string>{"HELLO2 test-key VC-Me", "PROOF " + vector_.proof, "PING"}));
    EXPECT_EQ(server.raw(0).substr(server.raw(0).size() - 5), "PING\n");
    EXPECT_EQ(server.connections(), 1u);
    finish(host);
#endif
}

} // namespace
} // namespace mvtest
