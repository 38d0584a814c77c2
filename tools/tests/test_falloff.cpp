// The tools' HMAC (the system's library), which the simulator checks the
// plugin's proofs with, against RFC 4231 and the project's proof vectors
// (computed independently).
#include <gtest/gtest.h>

#include <array>
#include <fstream>

#include "common/hmac.h"

namespace mvfalloff {
namespace {

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
    }
}

} // namespace
} // namespace mvfalloff
