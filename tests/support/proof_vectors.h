// Handshake proofs computed outside this project (tests/vectors/proof.tsv),
// so that tests never take the expected proof from the code under test. One
// reader for every suite that checks a proof: the plugin's, the tools' and
// the falloff server's.
#pragma once

#include <istream>
#include <string>
#include <vector>

namespace mvtest {

struct ProofVector {
    std::string key;   // certificate hash text
    std::string token; // challenge token
    std::string proof; // 64 lowercase hex digits
    std::string note;
};

// Tab-separated rows of key, token, proof, note ('#' starts a comment). A
// token may hold a space or be empty; "x*8181" stands for 8181 bytes of x.
inline std::vector<ProofVector> read_proof_vectors(std::istream &in) {
    const auto expand = [](const std::string &field) {
        const bool run = field.size() >= 3 && field[1] == '*' &&
                         field.find_first_not_of("0123456789", 2) == std::string::npos;
        return run ? std::string(std::stoul(field.substr(2)), field[0]) : field;
    };
    std::vector<ProofVector> out;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::string field[4];
        size_t start = 0;
        for (std::string &f : field) {
            if (start > line.size()) break;
            const size_t tab = line.find('\t', start);
            f = line.substr(start, tab - start);
            start = tab == std::string::npos ? line.size() + 1 : tab + 1;
        }
        if (field[2].size() == 64) out.push_back({expand(field[0]), expand(field[1]), field[2], field[3]});
    }
    return out;
}

} // namespace mvtest
