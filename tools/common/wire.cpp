#include "wire.h"

#include <cmath>
#include <cstdio>
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

EntryVerdict parse_entry(std::string_view entry, ServerLine kind) {
    EntryVerdict verdict;
    const std::string text(trim(entry));
    char alias[kMaxAlias + 1] = {};
    float gain = 0;
    float pan = 0;
    float muffle = 0;
    // The plugin's own reading rule; scanning is how the grammar is defined.
    const int fields = kind == ServerLine::update ? 2 : kind == ServerLine::update2 ? 3 : 4;
    const int n = std::sscanf(text.c_str(), "%127s %f %f %f", alias, &gain, &pan, &muffle);
    const int read = n < fields ? n : fields;
    const auto parts = words(text);
    if (read < 1) {
        verdict.note = "empty entry";
        return verdict;
    }
    if (!parts.empty() && parts[0].size() > kMaxAlias) {
        verdict.note = "alias longer than 127 characters: cut, the rest read as the gain";
        if (read < 2) return verdict;
    }
    if (read < 2) {
        verdict.note = parts.size() < 2 ? "no gain" : "gain is not a number";
        return verdict;
    }
    Entry e{alias, gain, read >= 3 ? pan : 0.0f, read >= 4 ? muffle : 0.0f};
    // The first note that applies; a valid entry keeps it as a warning.
    if (!verdict.note.empty()) {
        // the alias note stands
    } else if (std::isnan(e.gain) || std::isnan(e.pan)) {
        verdict.note = "value is not a number";
    } else if (fields >= 3 && read == 2 && parts.size() >= 3) {
        verdict.note = "pan is not a number, taken as 0";
    } else if (fields == 4 && read == 3 && parts.size() >= 4) {
        verdict.note = "muffle is not a number, taken as 0";
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
    }
    if (std::isnan(e.muffle)) e.muffle = 0;
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

std::string format_update(const std::vector<Entry> &entries, bool with_muffle) {
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
    }
    line += '\n';
    return line;
}

} // namespace mvtools
