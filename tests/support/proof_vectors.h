// Handshake proofs computed outside this project (tests/vectors/proof.tsv),
// so that tests never take the expected proof from the code under test.
#pragma once

#include <string>
#include <vector>

namespace mvtest {

struct ProofVector {
    std::string key;   // certificate hash text
    std::string token; // challenge token
    std::string proof; // 64 lowercase hex digits
    std::string note;
};

// Every vector of proof.tsv, with CHAR*COUNT values expanded. Empty when the
// file cannot be read (tests should assert on that).
std::vector<ProofVector> load_proof_vectors();

// The vector whose note begins with note_prefix; throws when there is none.
ProofVector proof_vector(const std::string &note_prefix);

// The vector most tests sign in with: a 40-hex certificate hash, as Mumble's.
const ProofVector &cert40();

} // namespace mvtest
