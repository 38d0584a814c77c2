// The simulator's judgement of a falloff server, fed transcripts.
#include <gtest/gtest.h>

#include "common/hmac.h"
#include "sim/wire_check.h"

namespace mvtools {
namespace {

const std::string kHash = "3f1a9c0e5b7d2468ace13579bdf02468ace13579";

WireExpect expect() {
    return {"VC-Me", kHash, "KEY", {"vc-me", "vc-fox", "vc-heron"}};
}

// Plays a handshake up to the server's reply to PROOF.
void handshake(WireCheck &w, const std::string &token, const std::string &reply, double t = 0) {
    w.plugin_connected(t);
    w.plugin_bytes(t, "HELLO2 KEY VC-Me\n");
    w.server_bytes(t, "CHALLENGE " + token + "\r\n");
    w.plugin_bytes(t, "PROOF " + hmac_sha256_hex(kHash, token) + "\n");
    w.server_bytes(t, reply);
}

bool has_event(const WireCheck &w, Level level, const std::string &text) {
    for (const WireEvent &e : w.all())
        if (e.level == level && e.text.find(text) != std::string::npos) return true;
    return false;
}

TEST(WireCheck, FollowsAGoodLinkStepByStep) {
    WireCheck w(expect());
    handshake(w, "tok-1", "OK\n");
    EXPECT_EQ(w.stage(), LinkStage::established);
    EXPECT_EQ(w.accepted(), 1u);
    EXPECT_TRUE(has_event(w, Level::ok, "HELLO2 alias=VC-Me (api_key as configured)"));
    EXPECT_TRUE(has_event(w, Level::ok, "matches an independent HMAC"));
    EXPECT_TRUE(has_event(w, Level::info, "CR"));
    // Ten updates a tenth of a second apart, split across reads.
    for (int i = 0; i < 10; ++i) {
        w.server_bytes(1 + 0.1 * i, "UPDATE2 VC-Fox 0.5 -0.2, VC-Heron ");
        w.server_bytes(1 + 0.1 * i, "1.5 0\n");
    }
    EXPECT_EQ(w.updates(), 10u);
    EXPECT_NEAR(w.update_rate(), 10.0, 1e-9);
    ASSERT_EQ(w.latest().count("vc-heron"), 1u);
    EXPECT_FLOAT_EQ(w.latest().at("vc-heron").gain, 1.0f); // clamped as the plugin does
    EXPECT_FLOAT_EQ(w.latest().at("vc-fox").pan, -0.2f);
    w.server_bytes(2, "PING\n");
    w.plugin_bytes(2, "OK\n");
    w.plugin_bytes(2, "PING\n");
    EXPECT_EQ(w.server_pings(), 1u);
    EXPECT_EQ(w.pings_answered(), 1u);
    EXPECT_EQ(w.plugin_pings(), 1u);
    w.closed(3, true);
    EXPECT_EQ(w.stage(), LinkStage::closed);
    // A second link keeps the rate to update intervals within links.
    handshake(w, "tok-2", "OK\n", 10);
    w.server_bytes(10, "UPDATE2 VC-Fox 1\n");
    w.server_bytes(10.5, "UPDATE2 VC-Fox 1\n");
    EXPECT_NEAR(w.update_rate(), 10.0 / (0.9 + 0.5), 1e-9);
}

TEST(WireCheck, ExplainsRefusedHandshakes) {
    struct Case {
        std::string challenge; // server's first reply
        std::string reply;     // server's reply to PROOF
        std::string event;
    };
    const Case cases[] = {
        {"CHALLENGEtok\n", "", "needs one space after CHALLENGE"},
        {"challenge tok\n", "", "must be upper case"},
        {"ERR bad_key\n", "", "not a challenge"},
        {"CHALLENGE tok\n", "OK \n", "must be exactly OK"},
        {"CHALLENGE tok\n", "ERR bad_proof\n", "although the proof was right"},
    };
    for (const Case &c : cases) {
        WireCheck w(expect());
        w.plugin_connected(0);
        w.plugin_bytes(0, "HELLO2 KEY VC-Me\n");
        w.server_bytes(0, c.challenge);
        if (!c.reply.empty()) {
            w.plugin_bytes(0, "PROOF " + hmac_sha256_hex(kHash, "tok") + "\n");
            w.server_bytes(0, c.reply);
        }
        EXPECT_EQ(w.rejected(), 1u) << c.event;
        EXPECT_EQ(w.accepted(), 0u);
        EXPECT_TRUE(has_event(w, Level::fail, c.event)) << c.event;
    }
}

TEST(WireCheck, CatchesAWrongProofAndWeakTokens) {
    WireCheck w(expect());
    w.plugin_connected(0);
    w.plugin_bytes(0, "HELLO2 OTHER VC-Me\n");
    w.server_bytes(0, "CHALLENGE \n");
    w.plugin_bytes(0, "PROOF " + std::string(64, '0') + "\n");
    EXPECT_TRUE(has_event(w, Level::ok, "api_key DIFFERS"));
    EXPECT_TRUE(has_event(w, Level::warn, "empty token"));
    EXPECT_TRUE(has_event(w, Level::fail, "does NOT match"));
    WireCheck again(expect());
    handshake(again, "same", "OK\n");
    again.closed(1, true);
    handshake(again, "same", "OK\n");
    EXPECT_TRUE(has_event(again, Level::warn, "token repeated"));
}

TEST(WireCheck, CountsWhatThePluginSkipsOrIgnores) {
    WireCheck w(expect());
    handshake(w, "tok", "OK\n");
    w.server_bytes(1, "UPDATE2 VC-Fox 0.5 0.1, VC-Heron, VC-Nobody 1, VC-Me 1, vc-fox 0.2\n"
                      "update2 VC-Fox 1\n"
                      "PING \n"
                      "UPDATE VC-Fox 0.5 0.3\n"
                      "HELLO\n");
    EXPECT_EQ(w.updates(), 2u);
    EXPECT_EQ(w.entries(), 6u);
    EXPECT_EQ(w.bad_entries(), 1u);
    EXPECT_EQ(w.ignored_lines(), 3u);
    std::string all;
    for (const auto &f : w.findings())
        all += f.what + " | ";
    for (const char *want :
         {"entry skipped: no gain", "alias of nobody", "named in its own update", "named twice",
          "not in upper case", "PING with extra", "plain UPDATE carries no pan",
          "carries no pan; the third value", "line the plugin ignores"})
        EXPECT_NE(all.find(want), std::string::npos) << want << " in " << all;
    EXPECT_FALSE(w.summary().empty());
}

} // namespace
} // namespace mvtools
