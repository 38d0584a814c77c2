#include "roster.h"

#include <fstream>
#include <sstream>

#include "text.h"
#include "wire.h"

namespace mvtools {

const Player *Roster::find(std::string_view alias) const {
    for (const Player &p : players)
        if (iequals(p.alias, alias)) return &p;
    return nullptr;
}

bool parse_roster(std::string_view text, Roster *out, std::string *error) {
    Roster roster;
    bool have_key = false;
    size_t line_no = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = trim(text.substr(pos, end - pos));
        pos = end + 1;
        ++line_no;
        if (line.empty() || line.front() == '#') continue;
        const auto w = words(line);
        const std::string where = "line " + std::to_string(line_no) + ": ";
        if (w[0] == "key") {
            if (w.size() != 2) {
                *error = where + "expected 'key <shared key>' (the key holds no spaces)";
                return false;
            }
            roster.key = std::string(w[1]);
            have_key = true;
        } else if (w[0] == "player") {
            if (w.size() != 3) {
                *error = where + "expected 'player <voice alias> <certificate hash>'";
                return false;
            }
            if (w[1].size() > kMaxAlias || w[2].size() > kMaxAlias) {
                *error = where + "alias and hash are at most 127 characters";
                return false;
            }
            if (roster.find(w[1]) != nullptr) {
                *error = where + "player " + std::string(w[1]) + " is listed twice";
                return false;
            }
            roster.players.push_back({std::string(w[1]), std::string(w[2])});
        } else {
            *error = where + "unknown word '" + std::string(w[0]) + "' (expected key or player)";
            return false;
        }
    }
    if (!have_key) {
        *error = "no 'key' line";
        return false;
    }
    *out = std::move(roster);
    return true;
}

bool read_text_file(const std::string &path, std::string *out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    *out = ss.str();
    return true;
}

bool load_roster(const std::string &path, Roster *out, std::string *error) {
    std::string text;
    if (!read_text_file(path, &text)) {
        *error = "cannot read " + path;
        return false;
    }
    if (!parse_roster(text, out, error)) {
        *error = path + ": " + *error;
        return false;
    }
    return true;
}

} // namespace mvtools
