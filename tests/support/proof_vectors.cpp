#include "proof_vectors.h"

#include <sstream>
#include <stdexcept>

#include "host/plugin_dir.h"

namespace mvtest {
namespace {

// "x*8181" stands for 8181 bytes of x; anything else is taken as written.
std::string expand(const std::string &field) {
    if (field.size() >= 3 && field[1] == '*' &&
        field.find_first_not_of("0123456789", 2) == std::string::npos) {
        return std::string(std::stoul(field.substr(2)), field[0]);
    }
    return field;
}

std::vector<std::string> split_tabs(const std::string &line) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        const size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) return fields;
        start = tab + 1;
    }
}

} // namespace

std::vector<ProofVector> load_proof_vectors() {
    std::vector<ProofVector> out;
#if defined(MV_TEST_VECTORS)
    const std::optional<std::string> text =
        mvhost::read_file(mvhost::build_path(MV_TEST_VECTORS "/proof.tsv"));
    if (!text) return out;
    std::istringstream in(*text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        const std::vector<std::string> fields = split_tabs(line);
        if (fields.size() < 3) continue;
        out.push_back({expand(fields[0]), expand(fields[1]), fields[2], fields.size() > 3 ? fields[3] : ""});
    }
#endif
    return out;
}

ProofVector proof_vector(const std::string &note_prefix) {
    for (ProofVector &v : load_proof_vectors()) {
        if (v.note.starts_with(note_prefix)) return v;
    }
    throw std::runtime_error("no proof vector noted '" + note_prefix + "'");
}

const ProofVector &cert40() {
    static const ProofVector v = proof_vector("40-hex certificate hash");
    return v;
}

} // namespace mvtest
