#include "roster.h"

#include "control.h"
#include "scenario.h"
#include "text.h"

namespace mvserver {

bool parse_roster(std::string_view text, World &world, std::string *key, std::string *error) {
    size_t line_no = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        ++line_no;
        std::string_view w[3];
        const size_t n = split_words(line, w, 3);
        const std::string where = "line " + std::to_string(line_no) + ": ";
        if (n == 0 || w[0].starts_with('#')) continue;
        if (w[0] == "key") {
            std::string_view k = n == 2 ? w[1] : std::string_view{};
            if (k.ends_with('\r')) k.remove_suffix(1);
            if (k.empty()) {
                *error = where + "expected 'key <shared key>' (the key holds no spaces)";
                return false;
            }
            *key = k;
        } else if (w[0] == "player") {
            const ControlResult r = execute_control(world, line, TimePoint{});
            if (r.refused != nullptr) {
                *error =
                    where + r.refused + " (expected 'player <voice alias> <certificate hash> [address]')";
                return false;
            }
        } else {
            *error = where + "unknown word '" + sanitize(w[0]) + "' (expected key or player)";
            return false;
        }
    }
    return true;
}

bool load_roster(const std::string &path, World &world, std::string *key, std::string *error) {
    std::string text;
    if (!read_file(path, &text)) {
        *error = "cannot read " + path;
        return false;
    }
    if (!parse_roster(text, world, key, error)) {
        error->insert(0, path + ": ");
        return false;
    }
    return true;
}

} // namespace mvserver
