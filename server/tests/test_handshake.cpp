// The server's proof check with OpenSSL against the project's proof vectors
// (computed independently): HELLO2, CHALLENGE with the token, PROOF, OK.
#include <gtest/gtest.h>

#include <fstream>

#include "proof_vectors.h"
#include "server/handshake.h"

namespace mvserver {
namespace {

TEST(Handshake, AcceptsTheProofVectors) {
    std::ifstream in(MV_TEST_VECTORS "/proof.tsv");
    const std::vector<mvtest::ProofVector> vectors = mvtest::read_proof_vectors(in);
    ASSERT_GE(vectors.size(), 7u) << "no vectors at " MV_TEST_VECTORS;
    const Address peer = *parse_address("127.0.0.1");
    for (const auto &[key, token, proof, note] : vectors) {
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
