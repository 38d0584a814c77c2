// The simulator's judgement of a falloff server, fed transcripts, and the
// plugin's reading of an entry that it rests on.
#include <gtest/gtest.h>

#include <array>
#include <cmath>

#include "common/hmac.h"
#include "sim/wire_check.h"

namespace mvtools {
namespace {

const std::string kHash = "3f1a9c0e5b7d2468ace13579bdf02468ace13579";

const WireExpect kExpect{"VC-Me", kHash, "KEY", {"vc-me", "vc-fox", "vc-heron"}};

// A link from HELLO2 to the server's reply to PROOF (the plugin's proof is
// right for "tok"), then what the server sends a second later.
void link(WireCheck &w, const std::string &challenge, const std::string &reply,
          const std::string &then = "") {
    w.plugin_connected(0);
    w.plugin_bytes(0, "HELLO2 KEY VC-Me\n");
    w.server_bytes(0, challenge);
    w.plugin_bytes(0, "PROOF " + hmac_sha256_hex(kHash, "tok") + "\n");
    w.server_bytes(0, reply);
    w.server_bytes(1, then);
}

std::string said(const WireCheck &w, double end = 0) { // every event, then the report
    std::string all;
    for (const WireEvent &e : w.all())
        all += e.text + "\n";
    return all + testing::PrintToString(w.summary(end));
}

TEST(WireCheck, ExplainsWhatABadServerDoes) {
    const std::string ok = "CHALLENGE tok\r\n";
    const struct {
        std::string challenge, reply, then, says;
    } cases[] = {
        {"CHALLENGEtok\n", "", "", "needs one space after CHALLENGE"},
        {"challenge tok\n", "", "", "must be upper case"},
        {"ERR bad_key\n", "", "", "not a challenge"},
        {ok, "OK \n", "", "must be exactly OK"},
        {ok, "ERR bad_proof\n", "", "although the proof was right"},
        {"CHALLENGE \n", "OK\n", "", "empty token"},
        {"CHALLENGE \n", "OK\n", "", "does NOT match"},
        {ok, "OK\n", "UPDATE2 VC-Fox 0.5 0.1, VC-Heron\n", "entry skipped: no gain"},
        {ok, "OK\n", "UPDATE2 VC-Nobody 1, vc-nobody 0.2\n", "alias of nobody"},
        {ok, "OK\n", "update2 VC-Fox 1\n", "not in upper case"},
        {ok, "OK\n", "UPDATE VC-Fox 0.5 0.3\n", "plain UPDATE carries no pan"},
        {ok, "OK\n", "UPDATE3 VC-Fox 0.5 0 loud\n", "muffle is not a number"},
        {ok, "OK\n", "UPDATE2 VC-Fox 0.5 0 0.4\n", "UPDATE2 carries no muffle"},
    };
    for (const auto &c : cases) {
        WireCheck w(kExpect);
        link(w, c.challenge, c.reply, c.then);
        EXPECT_NE(said(w).find(c.says), std::string::npos) << c.says << " in:\n" << said(w);
        EXPECT_EQ(w.rejected(), c.reply == "OK\n" ? 0u : 1u) << c.says;
    }
}

TEST(WireCheck, CountsUpdatesAndPingsAsThePluginSeesThem) {
    WireCheck w(kExpect);
    link(w, "CHALLENGE tok\n", "OK\n");
    for (int i = 0; i < 10; ++i) { // 0.1 s apart, split across reads
        w.server_bytes(1 + 0.1 * i, "UPDATE3 VC-Fox 0.5 -0.2 0.25, VC-Heron ");
        w.server_bytes(1 + 0.1 * i, "1.5 0 -1\n");
    }
    EXPECT_NEAR(w.update_rate(), 10.0, 1e-9);
    const Entry &heron = w.latest().at("vc-heron"),
                &fox = w.latest().at("vc-fox"); // clamped as the plugin does
    EXPECT_EQ((std::array{heron.gain, heron.muffle, fox.muffle}), (std::array{1.0f, 0.0f, 0.25f}));
    EXPECT_EQ(w.muffled_entries(), 10u);
    w.server_bytes(2, "PING\n");
    w.plugin_bytes(2, "OK\n");
    w.server_bytes(3, "PING\n");  // never answered
    w.server_bytes(20, "PING\n"); // the run ends before an answer could come
    EXPECT_NE(said(w, 21).find("PINGs: 3 (answered OK: 1, still in flight at the end: 1, UNANSWERED: 1)"),
              std::string::npos);
}

TEST(ParseEntry, ReadsAsThePluginDoes) {
    using enum ServerLine;
    const std::array<float, 4> skipped = {-1, -1, -1, -1};
    const struct {
        std::string entry;
        ServerLine kind;
        std::array<float, 4> values; // gain, pan, muffle, radio
    } cases[] = {
        {"VC-a 0.5 -0.25 0.75", update3, {0.5f, -0.25f, 0.75f, 0}},
        {"VC-a 0.5 -0.25 0.75 1", update3, {0.5f, -0.25f, 0.75f, 1}},
        {"VC-a 0.5 -0.25 x 1", update3, {0.5f, -0.25f, 0, 0}}, // a radio is read only after a muffle
        {"VC-a 0.5 left 0.75", update3, {0.5f, 0, 0, 0}},      // a muffle only after a pan
        {"VC-a 0.5 0.1 nan nan", update3, {0.5f, 0.1f, 0, 0}},
        {"VC-a 0.5 0.1 0.9 1", update2, {0.5f, 0.1f, 0, 0}},
        {"VC-b", update2, skipped},
        {"VC-a 1e 0.5", update2, skipped}, // an exponent mark with no digit after it fails
        {"VC-a 1 0x1p-", update2, {1, 0, 0, 0}},
        {"VC-a 0x1p-1 infinity 1E0 1e", update3, {0.5f, INFINITY, 1, 0}},
        {"VC-a 0.5 infin", update2, {0.5f, 0, 0, 0}},
        {std::string(127, 'a') + "0.5 0.1", update2, {0.5f, 0.1f, 0, 0}}, // the cut alias's rest is the gain
    };
    for (const auto &c : cases) {
        const auto e = parse_entry(c.entry, c.kind).entry;
        EXPECT_EQ((e ? std::array{e->gain, e->pan, e->muffle, e->radio} : skipped), c.values) << c.entry;
    }
}

} // namespace
} // namespace mvtools
