#include "text.h"

#include <charconv>
#include <cmath>

namespace mvserver {

std::string fold(std::string_view s) {
    std::string out(s);
    for (char &c : out)
        c = ascii_lower(c);
    return out;
}

size_t split_words(std::string_view line, std::string_view *out, size_t max) {
    size_t n = 0;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            ++i;
        const size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t')
            ++i;
        if (i == start) break;
        if (n < max) out[n] = line.substr(start, i - start);
        ++n;
    }
    return n;
}

bool parse_number(std::string_view word, double *out) {
    if (word.starts_with('+')) word.remove_prefix(1);
    if (word.empty() || word.size() > 64 || word.front() == '+') return false;
    double v = 0;
    const auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), v);
    if (ec != std::errc() || end != word.data() + word.size() || !std::isfinite(v)) return false;
    *out = v;
    return true;
}

bool parse_count(std::string_view word, unsigned long long max, unsigned long long *out) {
    unsigned long long v = 0;
    const auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), v);
    if (word.empty() || ec != std::errc() || end != word.data() + word.size() || v > max) return false;
    *out = v;
    return true;
}

std::string sanitize(std::string_view s, size_t max_len) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (char c : s) {
        if (out.size() >= max_len) {
            out += "...";
            break;
        }
        const auto u = static_cast<unsigned char>(c);
        if (u > 0x20 && u < 0x7f && c != '\\') {
            out.push_back(c);
        } else {
            out += "\\x";
            out.push_back(kHex[u >> 4]);
            out.push_back(kHex[u & 15]);
        }
    }
    return out;
}

} // namespace mvserver
