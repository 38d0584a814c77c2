// The falloff link against the scripted server: the handshake byte for byte
// with every independently computed proof, each way the server can turn the
// plugin away (and the reconnect that follows), the 512-speaker cap with its
// log lines, PING answered, the table emptied when the link ends, and links
// made and dropped over and over without a leak.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "session.h"

namespace mvtest {
namespace {

constexpr ConnectionId kConnection = 5;
constexpr UserId kFox = 2;
const std::string kHello = "HELLO2 " + kKey + " VC-Me";

// The plugin's two handshake lines, byte for byte, for every proof vector: the
// key (the certificate hash) from one byte to 127, the token from empty to the
// longest a challenge line can carry, and a token with a trailing space.
TEST(Link, HandshakeBytesForEveryProofVector) {
    const std::vector<ProofVector> vectors = load_proof_vectors();
    ASSERT_GE(vectors.size(), 7u) << "tests/vectors/proof.tsv missing or cut";
    for (const ProofVector &v : vectors) {
        SCOPED_TRACE(v.note);
        // A challenge line of 8191 characters ends by itself: the LF after it
        // would be read as an empty line (see the rejections below).
        const std::string challenge = "CHALLENGE " + v.token;
        ScriptServer server({Step::expect(kHello),
                             Step::send(challenge.size() < 8191 ? challenge + "\n" : challenge),
                             Step::expect("PROOF " + v.proof), Step::send_line("OK")});
        Plugin p(settings(server.port()));
        ASSERT_TRUE(p.host.start({{kMe, "VC-Me", v.key}}, kConnection));
        ASSERT_TRUE(server.wait_until_done());
        EXPECT_TRUE(p.host.wait_for_log("[marlpike_voice] connected to falloff 127.0.0.1:" +
                                        std::to_string(server.port())));
        EXPECT_EQ(server.raw(0), kHello + "\nPROOF " + v.proof + "\n");
        p.finish(&server);
    }
}

// Every way the server can turn the plugin away during the handshake: the
// reason is logged with the reply as received, in the file and once in the
// host's log, and the next attempt comes one backoff later and succeeds.
TEST(Link, EachRejectionIsLoggedAndFollowedByAReconnect) {
    const struct {
        std::vector<Step> rejection; // the first connection
        std::string line;            // what the log file must say
    } cases[] = {
        {{Step::expect(kHello), Step::send_line("challenge abc"), Step::expect_close()},
         "falloff_hello2_rejected reply=challenge abc"},
        {{Step::expect(kHello), Step::send_line("CHALLENGE"), Step::expect_close()},
         "falloff_hello2_rejected reply=CHALLENGE"},
        {{Step::expect(kHello), Step::close()}, "falloff_hello2_rejected reply="},
        {{Step::expect(kHello), Step::reset()}, "falloff_hello2_rejected reply="},
        {{Step::expect(kHello), Step::send("CHALLENGE ab"), Step::pause(200), Step::close()},
         "falloff_hello2_rejected reply=CHALLENGE ab"},
        {{Step::handshake(handshake("ok\n")), Step::expect_close()}, "falloff_proof_rejected reply=ok"},
        {{Step::handshake(handshake("DENIED bad proof\n")), Step::expect_close()},
         "falloff_proof_rejected reply=DENIED bad proof"},
        {{Step::handshake(handshake("")), Step::close()}, "falloff_proof_rejected reply="},
        // The longest challenge line ends at its 8191st character, so its LF
        // begins the next line: an empty one, taken as the reply to PROOF.
        {{Step::expect(kHello), Step::send_line("CHALLENGE " + std::string(8181, 'x')),
          Step::expect_prefix("PROOF "), Step::send_line("OK"), Step::expect_close()},
         "falloff_proof_rejected reply="},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        std::vector<Step> script = c.rejection;
        script.insert(script.end(), {Step::accept(), Step::handshake(handshake())});
        ScriptServer server(std::move(script));
        Plugin p(settings(server.port()));
        const auto before_first_attempt = std::chrono::steady_clock::now();
        ASSERT_TRUE(p.host.start(roster(), kConnection));
        ASSERT_TRUE(server.wait_until_done());
        // Both ends lie outside the two connections, so this holds however
        // slowly the machine runs.
        EXPECT_GE(std::chrono::steady_clock::now() - before_first_attempt, std::chrono::seconds(1));
        // The file's line is written after the host is told: wait for it, so
        // that the stop cannot come between the two.
        ASSERT_TRUE(p.wait_log("connected to falloff"));
        p.finish(&server);
        EXPECT_EQ(server.connections(), 2u);

        const std::string port = std::to_string(server.port()), reply = c.line.substr(c.line.find('=') + 1);
        const std::string attempt = "falloff_connect_attempt host=127.0.0.1 port=" + port;
        const std::string told = std::string("the falloff server refused the ") +
                                 (c.line.starts_with("falloff_hello2") ? "greeting: " : "proof: ") +
                                 (reply.empty() ? "(no reply)" : reply);
        const std::string loaded =
            "loaded version=0.5.4 config=" + p.dir.ini_path() + " host=127.0.0.1 port=" + port;
        EXPECT_EQ(p.host_count("[marlpike_voice] " + told), 1u);
        EXPECT_EQ(p.log(), (std::vector<std::string>{
                               loaded + " enabled=1", "local voice alias=VC-Me", "local Mumble hash=3f1a9c0e",
                               "refreshed 1 Mumble voice aliases", "alias_map user_id=1 alias=VC-Me", attempt,
                               c.line, told, attempt, "connected to falloff 127.0.0.1:" + port}));
    }
}

// An established link: 600 distinct speakers, of whom the first 512 are kept,
// in order, with the count line, 8 per-speaker lines and the number left out
// logged; the server's PING answered; and when the link ends, every speaker
// silent at once, not at the next attempt (30 s away).
TEST(Link, SixHundredSpeakersThenPingThenTheLinkEnds) {
    std::string update = "UPDATE2";
    for (int i = 0; i < 600; ++i)
        update += (i == 0 ? " VC-" : ",VC-") + std::to_string(i) + " 1 -1";
    ASSERT_LT(update.size(), 8191u); // one line, not cut by the line limit
    ScriptServer server({Step::handshake(handshake()), Step::send_line(update), Step::send_line("PING"),
                         Step::expect("OK"), Step::gate(), Step::close()});
    Plugin p(settings(server.port(), "reconnect_sec=30\n"));
    ASSERT_TRUE(p.host.start(
        roster({{100, "VC-0", ""}, {611, "VC-511", ""}, {612, "VC-512", ""}, {699, "VC-599", ""}}),
        kConnection));
    ASSERT_TRUE(p.wait_log("update_state omitted=")); // the update's last line
    const std::vector<std::string> log = p.log();
    const auto at = std::find(log.begin(), log.end(), "received UPDATE2 with 512 speakers");
    ASSERT_LE(at + 10, log.end());
    for (size_t i = 0; i < 8; ++i)
        EXPECT_EQ(at[1 + i], "update_state alias=VC-" + std::to_string(i) + " gain=1.0000 pan=-1.0000");
    EXPECT_EQ(at[9], "update_state omitted=504");
    EXPECT_EQ(count_in(log, "update_state"), 9u);
    const std::pair<UserId, float> gains[] = {{100, 1.0f}, {611, 1.0f}, {612, 0.0f}, {699, 0.0f}};
    for (const auto &[user, gain] : gains)
        EXPECT_EQ(p.hear(user), (Heard{gain, 0.0f})) << user;
    EXPECT_TRUE(server.wait_for_lines("OK", 1, 0));
    server.open_gate();
    EXPECT_EQ(p.wait_to_hear(100, kSilent), kSilent);
    EXPECT_TRUE(p.wait_log("falloff_disconnected wsa="));
    EXPECT_EQ(p.count("falloff_connect_attempt"), 1u);
    p.finish(&server);
}

// Hours of play in a few seconds: the host joins and leaves the server again
// and again, each time with a whole link (connect, handshake, established)
// that leaving tears down; now and then the server drops the link and the
// plugin comes back. Handles and threads end where they started. (Every link
// carries a PING, so that no drop reads as a server that keeps closing links.)
TEST(Resources, LinksMadeAndDroppedByTheHostAndTheServer) {
    const size_t cycles = kSlowBuild ? 300 : 1000, drops = 6;
    // Links the server drops: two before the baseline is taken (what a first
    // drop sets up for good is in it), and more after it than the count's slack.
    const auto dropped = [&](size_t link) {
        return link == 1 || link == 2 || (link >= cycles / 2 && link < cycles / 2 + drops - 2);
    };
    const std::vector<RosterUser> users = roster({{kFox, "VC-Fox", ""}});
    std::vector<Step> script;
    for (size_t link = 0; link <= cycles + drops; ++link)
        script.insert(script.end(), {Step::handshake(handshake()), Step::send_line("PING"),
                                     dropped(link) ? Step::close() : Step::expect_close(), Step::accept()});
    ScriptServer server(std::move(script));
    Plugin p(settings(server.port()));
    ASSERT_TRUE(p.host.start());
    ResourceCounts before{};
    size_t link = 0;
    for (size_t i = 0; i <= cycles; ++i) {
        if (i > 0) do {
                ++link; // the server's drops come back by themselves
            } while (dropped(link));
        p.host.join(kConnection, users);
        ASSERT_TRUE(p.host.wait_for_log("connected to falloff", link + 1)) << "cycle " << i;
        p.host.leave();
        if (i == 1 && server.wait_for_peer_close(link)) before = steady_counts();
    }
    ASSERT_TRUE(server.wait_for_peer_close(cycles + drops));
    expect_back_at(before);
    p.finish(&server);
    EXPECT_EQ(server.connections(), cycles + drops + 1);
    EXPECT_EQ(p.count("falloff_connect_attempt"), cycles + drops + 1);
}

} // namespace
} // namespace mvtest
