// The server's proof check with OpenSSL against the project's proof vectors
// (computed independently): HELLO2, CHALLENGE with the token, PROOF, OK.
#include <gtest/gtest.h>

#include <array>
#include <fstream>

#include "server/handshake.h"

namespace mvserver {
namespace {

TEST(Handshake, AcceptsTheProofVectors) {
    std::vector<std::array<std::string, 3>> vectors; // key, token, proof
    std::ifstream in(MV_TEST_VECTORS "/proof.tsv");
    const auto expand = [](const std::string &s) { // "x*8181": 8181 bytes of x
        return s.size() > 2 && s[1] == '*' ? std::string(std::stoul(s.substr(2)), s[0]) : s;
    };
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> f; // tab-separated: a token may hold a space, or be empty
        for (size_t start = 0, tab = 0; tab != std::string::npos; start = tab + 1)
            f.push_back(line.substr(start, (tab = line.find('\t', start)) - start));
        if (f.size() >= 3 && line[0] != '#') vectors.push_back({expand(f[0]), expand(f[1]), f[2]});
    }
    ASSERT_GE(vectors.size(), 7u) << "no vectors at " MV_TEST_VECTORS;
    const Address peer = *parse_address("127.0.0.1");
    for (const auto &[key, token, proof] : vectors) {
        World w(25);
        w.upsert("VC-T", key, std::nullopt);
        Handshake h(token, peer);
        EXPECT_EQ(h.on_line("HELLO2 K vc-t", w, "K").send, "CHALLENGE " + token + "\n");
        const Handshake::Outcome ok = h.on_line("PROOF " + proof, w, "K");
        EXPECT_EQ(ok.send, "OK\n") << token.substr(0, 40) << (ok.refused ? ok.refused : "");
        EXPECT_EQ(h.step(), Handshake::Step::established);
    }
}

} // namespace
} // namespace mvserver
