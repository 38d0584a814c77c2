// The tools' HMAC (the system's library), which the simulator checks the
// plugin's proofs with, against RFC 4231 and the project's proof vectors
// (computed independently).
#include <gtest/gtest.h>

#include <fstream>

#include "common/hmac.h"
#include "proof_vectors.h"

namespace mvfalloff {
namespace {

TEST(Hmac, MatchesTheProofVectors) {
    std::ifstream in(MV_TEST_VECTORS "/proof.tsv");
    const std::vector<mvtest::ProofVector> vectors = mvtest::read_proof_vectors(in);
    ASSERT_GE(vectors.size(), 7u) << "no vectors at " MV_TEST_VECTORS;
    for (const auto &[key, token, proof, note] : vectors) {
        EXPECT_EQ(mvtools::hmac_sha256_hex(key, token), proof) << token.substr(0, 40);
    }
}

} // namespace
} // namespace mvfalloff
