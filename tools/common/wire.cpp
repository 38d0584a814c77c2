#include "wire.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "text.h"

namespace mvtools {

void LineFramer::feed(std::string_view bytes) {
    for (char c : bytes) {
        if (c == '\r') {
            current_.had_cr = true;
            continue;
        }
        if (c == '\n') {
            ready_.push_back(std::move(current_));
            current_ = {};
            continue;
        }
        current_.text.push_back(c);
        if (current_.text.size() == max_) {
            current_.was_cut = true;
            ready_.push_back(std::move(current_));
            current_ = {};
        }
    }
}

std::optional<LineFramer::Line> LineFramer::next() {
    if (taken_ >= ready_.size()) {
        ready_.clear();
        taken_ = 0;
        return std::nullopt;
    }
    return std::move(ready_[taken_++]);
}

Classified classify_server_line(std::string_view line) {
    if (const size_t nul = line.find('\0'); nul != std::string_view::npos) line = line.substr(0, nul);
    if (line.empty()) return {ServerLine::empty, {}};
    if (line.starts_with(kChallengePrefix))
        return {ServerLine::challenge, line.substr(kChallengePrefix.size())};
    if (line == "OK") return {ServerLine::ok, {}};
    if (line == "PING") return {ServerLine::ping, {}};
    if (line.starts_with("UPDATE2")) return {ServerLine::update2, line.substr(7)};
    if (line.starts_with("UPDATE3")) return {ServerLine::update3, line.substr(7)};
    if (line.starts_with("UPDATE")) return {ServerLine::update, line.substr(6)};
    return {ServerLine::other, line};
}

const char *kind_name(ServerLine kind) {
    switch (kind) {
    case ServerLine::empty:
        return "empty";
    case ServerLine::challenge:
        return "CHALLENGE";
    case ServerLine::ok:
        return "OK";
    case ServerLine::ping:
        return "PING";
    case ServerLine::update:
        return "UPDATE";
    case ServerLine::update2:
        return "UPDATE2";
    case ServerLine::update3:
        return "UPDATE3";
    case ServerLine::other:
        break;
    }
    return "other";
}

namespace {

bool is_digit(char c, bool hex) {
    return (c >= '0' && c <= '9') || (hex && ascii_lower(c) >= 'a' && ascii_lower(c) <= 'f');
}

// How many characters of t form one number as "%f" scanning reads it, or 0
// when the conversion fails. Scanning gives back one character at most, so a
// form that starts longer than it ends fails: "infin", "0x" with no digit,
// "1e" / "1e+" / "0x1p" with no exponent digit.
size_t number_length(std::string_view t) {
    size_t i = 0;
    const auto at = [&](size_t k) { return k < t.size() ? t[k] : '\0'; };
    if (at(i) == '+' || at(i) == '-') ++i;
    size_t word = 0;
    while (word < 8 && ascii_lower(at(i + word)) == "infinity"[word])
        ++word;
    if (word >= 3) return word == 3 || word == 8 ? i + word : 0;
    if (ascii_lower(at(i)) == 'n' && ascii_lower(at(i + 1)) == 'a' && ascii_lower(at(i + 2)) == 'n') {
        i += 3;
        if (at(i) == '(') {
            size_t k = i + 1;
            while (at(k) == '_' || std::isalnum(static_cast<unsigned char>(at(k))) != 0)
                ++k;
            if (at(k) == ')') i = k + 1;
        }
        return i;
    }
    const bool hex = at(i) == '0' && ascii_lower(at(i + 1)) == 'x';
    if (hex) i += 2;
    size_t digits = 0;
    for (; is_digit(at(i), hex); ++i)
        ++digits;
    if (at(i) == '.') {
        ++i;
        for (; is_digit(at(i), hex); ++i)
            ++digits;
    }
    if (digits == 0) return 0;
    if (ascii_lower(at(i)) == (hex ? 'p' : 'e')) {
        ++i;
        if (at(i) == '+' || at(i) == '-') ++i;
        if (!is_digit(at(i), false)) return 0;
        while (is_digit(at(i), false))
            ++i;
    }
    return i;
}

// Reads the next number after whitespace; false when there is none.
bool read_number(std::string_view &rest, float &value) {
    size_t start = 0;
    while (start < rest.size() && is_space(rest[start]))
        ++start;
    rest.remove_prefix(start);
    const size_t n = number_length(rest);
    if (n == 0) return false;
    // strtof reads every form number_length accepts; the tools keep the C locale.
    value = std::strtof(std::string(rest.substr(0, n)).c_str(), nullptr);
    rest.remove_prefix(n);
    return true;
}

} // namespace

EntryVerdict parse_entry(std::string_view entry, ServerLine kind) {
    EntryVerdict verdict;
    std::string_view rest = trim(entry.substr(0, entry.find('\0')));
    const auto parts = words(rest);
    size_t alias_len = 0;
    while (alias_len < rest.size() && alias_len < kMaxAlias && !is_space(rest[alias_len]))
        ++alias_len;
    if (alias_len == 0) {
        verdict.note = "empty entry";
        return verdict;
    }
    const std::string alias(rest.substr(0, alias_len));
    rest.remove_prefix(alias_len);
    // The values are read one after another, each only when the one before it was.
    const int fields = kind == ServerLine::update ? 2 : kind == ServerLine::update2 ? 3 : 5;
    float values[4] = {0, 0, 0, 0};
    int read = 1;
    while (read < fields && read_number(rest, values[read - 1]))
        ++read;
    if (parts[0].size() > kMaxAlias) {
        verdict.note = "alias longer than 127 characters: cut, the rest read as the gain";
        if (read < 2) return verdict;
    }
    if (read < 2) {
        verdict.note = parts.size() < 2 ? "no gain" : "gain is not a number";
        return verdict;
    }
    Entry e{alias, values[0], values[1], values[2], values[3]};
    // The first note that applies; a valid entry keeps it as a warning.
    if (!verdict.note.empty()) {
        // the alias note stands
    } else if (std::isnan(e.gain) || std::isnan(e.pan)) {
        verdict.note = "value is not a number";
    } else if (fields >= 3 && read == 2 && parts.size() >= 3) {
        verdict.note = "pan is not a number, taken as 0";
    } else if (fields == 5 && read == 3 && parts.size() >= 4) {
        verdict.note = "muffle is not a number, taken as 0";
    } else if (fields == 5 && read == 4 && parts.size() >= 5) {
        verdict.note = "radio is not a number, taken as 0";
    } else if (fields == 2 && parts.size() >= 3) {
        verdict.note = "UPDATE carries no pan; the third value is ignored";
    } else if (fields == 3 && parts.size() >= 4) {
        verdict.note = "UPDATE2 carries no muffle; the fourth value is ignored (send UPDATE3)";
    } else if (e.gain < 0 || e.gain > 1) {
        verdict.note = "gain outside 0..1, the plugin clamps it";
    } else if (e.pan < -1 || e.pan > 1) {
        verdict.note = "pan outside -1..1, the plugin clamps it";
    } else if (std::isnan(e.muffle)) {
        verdict.note = "muffle is not a number, taken as 0";
    } else if (e.muffle < 0 || e.muffle > 1) {
        verdict.note = "muffle outside 0..1, the plugin clamps it";
    } else if (std::isnan(e.radio)) {
        verdict.note = "radio is not a number, taken as 0";
    } else if (e.radio < 0 || e.radio > 1) {
        verdict.note = "radio outside 0..1, the plugin clamps it";
    }
    if (std::isnan(e.muffle)) e.muffle = 0;
    if (std::isnan(e.radio)) e.radio = 0;
    verdict.entry = std::move(e);
    return verdict;
}

std::vector<std::string_view> split_entries(std::string_view payload) {
    std::vector<std::string_view> out;
    size_t start = 0;
    while (start <= payload.size()) {
        size_t comma = payload.find(',', start);
        if (comma == std::string_view::npos) comma = payload.size();
        const std::string_view piece = trim(payload.substr(start, comma - start));
        if (!piece.empty()) out.push_back(piece);
        start = comma + 1;
    }
    return out;
}

std::string format_update(const std::vector<Entry> &entries, bool with_muffle, bool with_radio) {
    with_muffle = with_muffle || with_radio;
    std::string line = with_muffle ? "UPDATE3" : "UPDATE2";
    char buf[96];
    for (size_t i = 0; i < entries.size(); ++i) {
        line += i == 0 ? " " : ", ";
        line += entries[i].alias;
        std::snprintf(buf, sizeof buf, " %.4f %.4f", static_cast<double>(entries[i].gain),
                      static_cast<double>(entries[i].pan));
        line += buf;
        if (with_muffle) {
            std::snprintf(buf, sizeof buf, " %.4f", static_cast<double>(entries[i].muffle));
            line += buf;
        }
        if (with_radio) {
            std::snprintf(buf, sizeof buf, " %.4f", static_cast<double>(entries[i].radio));
            line += buf;
        }
    }
    line += '\n';
    return line;
}

} // namespace mvtools
