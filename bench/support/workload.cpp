#include "workload.h"

#include <cctype>

namespace mvbench {

namespace {
constexpr char kDigits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
constexpr size_t kBase = sizeof kDigits - 1;

std::string entry(size_t i, bool upper, size_t variant) {
    std::string alias = speaker_alias(i);
    if (upper)
        for (char &c : alias)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const size_t g = (i + variant) % 10;
    const size_t p = (i * 3 + variant) % 10;
    return alias + " 0." + std::to_string(g) + ((i & 1) ? " -0." : " 0.") + std::to_string(p);
}
} // namespace

std::string speaker_alias(size_t i) {
    std::string s = "VC-";
    s += kDigits[(i / kBase) % kBase];
    s += kDigits[i % kBase];
    return s;
}

std::string update_payload(size_t n, bool upper, size_t variant) {
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        if (i > 0) out += ',';
        out += entry(i, upper, variant);
    }
    return out;
}

namespace {

// n speakers, each with the same values after its alias.
std::string uniform_payload(size_t n, bool upper, const char *values) {
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        std::string alias = speaker_alias(i);
        if (upper)
            for (char &c : alias)
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        out += (i > 0 ? "," : "") + alias + values;
    }
    return out;
}

} // namespace

std::string muffled_payload(size_t n, bool upper) {
    return uniform_payload(n, upper, " 0.7 0 1");
}

std::string radio_payload(size_t n, bool upper) {
    return uniform_payload(n, upper, " 0.7 0 0 1");
}

std::string update_line_of_length(size_t length, size_t variant) {
    std::string line = "UPDATE2 ";
    for (size_t i = 0;; ++i) {
        std::string next = entry(i % (kBase * kBase), false, variant);
        if (line.size() + next.size() + (i > 0 ? 1 : 0) > length) break;
        if (i > 0) line += ',';
        line += next;
    }
    line.resize(length, ' ');
    return line;
}

} // namespace mvbench
