#include <gtest/gtest.h>

#include <string>

#include "falloff/proof.h"

using namespace mv;

namespace {

std::string proof_of(const std::string &key, const std::string &token) {
    char out[kProofCap];
    if (!compute_proof(key, token, out)) return "<failed>";
    return out;
}

} // namespace

TEST(Proof, MatchesRfc4231) {
    std::string counting;
    for (char c = 1; c <= 25; ++c)
        counting += c;
    const std::string big_key(131, '\xaa');
    const struct {
        std::string key, data, want;
    } cases[] = {
        {std::string(20, '\x0b'), "Hi There",
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {"Jefe", "what do ya want for nothing?",
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {std::string(20, '\xaa'), std::string(50, '\xdd'),
         "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
        {counting, std::string(50, '\xcd'),
         "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
        {big_key, "Test Using Larger Than Block-Size Key - Hash Key First",
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
        {big_key,
         "This is a test using a larger than block-size key and a larger than block-size data. The key needs "
         "to be hashed before being used by the HMAC algorithm.",
         "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(proof_of(c.key, c.data), c.want) << c.data.substr(0, 20);
}
