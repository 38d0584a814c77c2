// The falloff server's proof check and what it stands on: the tools' HMAC
// (the system's library) against RFC 4231 and the project's proof vectors
// (computed independently), and each way the handshake refuses.
#include <gtest/gtest.h>

#include <array>
#include <fstream>

#include "common/hmac.h"
#include "falloff/handshake.h"

namespace mvfalloff {
namespace {

const std::string kHash = "3f1a9c0e5b7d2468ace13579bdf02468ace13579";
// The proof of tok-123 for kHash.
const std::string kProof = "PROOF c4811aeb157526141597b12d58063672ff10a35c9db4fd3fa9be833ed62d17fb";

TEST(Hmac, MatchesTheProofVectors) {
    // key, token, proof, note; "x*8181": 8181 bytes of x. RFC 4231 case 2 among them, and keys longer than a
    // block.
    std::vector<std::array<std::string, 3>> vectors;
    std::ifstream in(MV_TEST_VECTORS "/proof.tsv");
    auto expand = [](const std::string &s) {
        return s.size() > 2 && s[1] == '*' ? std::string(std::stoul(s.substr(2)), s[0]) : s;
    };
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> f; // tab-separated: a token may hold a space, or be empty
        for (size_t start = 0, tab = 0; tab != std::string::npos; start = tab + 1)
            f.push_back(line.substr(start, (tab = line.find('\t', start)) - start));
        if (f.size() >= 3 && line[0] != '#') vectors.push_back({expand(f[0]), expand(f[1]), f[2]});
    }
    ASSERT_GE(vectors.size(), 7u) << "no vectors at " MV_TEST_VECTORS;
    for (const auto &[key, token, proof] : vectors) {
        EXPECT_EQ(mvtools::hmac_sha256_hex(key, token), proof) << token.substr(0, 40);
        // The reference check keys the HMAC with the roster's hash and signs the token.
        ServerHandshake h(token);
        const mvtools::Roster roster{"K", {{"VC-T", key}}};
        EXPECT_EQ(h.on_line("HELLO2 K VC-T", roster).send, "CHALLENGE " + token + "\n");
        EXPECT_EQ(h.on_line("PROOF " + proof, roster).send, "OK\n") << token.substr(0, 40);
    }
}

TEST(ServerHandshake, RefusesEachWayOfGettingItWrong) {
    const std::array<std::string, 3> cases[] = {
        // HELLO2, the next line (none: refused at HELLO2), the reply
        {"HELLO2 K vc-fox", kProof, "OK\n"}, // aliases ignore case
        {"HELLO K VC-Fox", "", "ERR bad_hello\n"},
        {"HELLO2 k VC-Fox", "", "ERR bad_key\n"},
        {"HELLO2 K VC-Nobody", "", "ERR unknown_alias\n"},
        {"HELLO2 K VC-Fox", kProof.substr(0, kProof.size() - 1), "ERR bad_proof\n"},
        {"HELLO2 K VC-Fox", kProof + " ", "ERR bad_proof\n"},
        {"HELLO2 K VC-Heron", kProof, "ERR bad_proof\n"}}; // another player's hash
    const mvtools::Roster roster{"K", {{"VC-Fox", kHash}, {"VC-Heron", "a"}}};
    for (const auto &[hello, next, reply] : cases) {
        ServerHandshake h("tok-123");
        auto r = h.on_line(hello, roster);
        if (!next.empty()) {
            ASSERT_EQ(r.send, "CHALLENGE tok-123\n") << hello;
            r = h.on_line(next, roster);
        }
        EXPECT_EQ(r.send, reply) << hello << " / " << next;
        EXPECT_EQ(r.close, reply != "OK\n");
    }
}

} // namespace
} // namespace mvfalloff
