// What the fuzz targets check, one function per target. Each takes the raw
// input and returns an empty string when every rule held, or what broke. The
// libFuzzer targets abort on a non-empty answer; the regression tests replay
// the seed corpora and every saved finding through the same functions on
// every platform.
#pragma once

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/text.h"
#include "falloff/apply_update.h"
#include "falloff/line_reader.h"
#include "falloff/messages.h"
#include "falloff/speaker_table.h"
#include "log/log.h"
#include "settings/settings.h"
#include "state/state.h"

namespace mvfuzz {

// ---- line framing ------------------------------------------------------------
//
// The input is a script of what the socket does, one event after another:
//   control byte c, event c % 8:
//     0-2  a chunk of data: one length byte n, then n + 1 bytes
//     3    a run: one byte b and two length bytes (14 bits used), b repeated
//     4    a receive that times out
//     5    the peer closes
//     6    a socket error: one byte of error code
//     7    a stop
// When the script is used up the source reports a stop. The reader (which
// takes bytes in blocks) must give exactly what a reader taking one byte per
// receive gives over the same events.

using mv::platform::IoStatus;

struct Event {
    IoStatus status; // ok: bytes arrive
    std::string bytes;
    int code = 0;
};

inline std::vector<Event> parse_events(const uint8_t *in, size_t size) {
    std::vector<Event> events;
    size_t i = 0;
    const auto byte = [&](uint8_t fallback) -> uint8_t { return i < size ? in[i++] : fallback; };
    while (i < size) {
        const uint8_t c = in[i++];
        switch (c % 8) {
        case 0:
        case 1:
        case 2: {
            const size_t n = size_t{byte(0)} + 1;
            const size_t take = n < size - i ? n : size - i;
            if (take == 0) break;
            events.push_back({IoStatus::ok, std::string(reinterpret_cast<const char *>(in + i), take)});
            i += take;
            break;
        }
        case 3: {
            const char b = static_cast<char>(byte('x'));
            const size_t n = (size_t{byte(0)} | (size_t{byte(0)} << 8)) & 0x3FFF;
            if (n > 0) events.push_back({IoStatus::ok, std::string(n, b)});
            break;
        }
        case 4:
            events.push_back({IoStatus::timeout, {}});
            break;
        case 5:
            events.push_back({IoStatus::closed, {}});
            break;
        case 6:
            events.push_back({IoStatus::error, {}, 1 + byte(0)});
            break;
        default:
            events.push_back({IoStatus::stopped, {}});
            break;
        }
    }
    return events;
}

// Plays the events as a socket would, data in pieces of at most max_piece
// bytes (the reader's request caps them further); a stop once played out.
class ScriptedSource final : public mv::ByteSource {
  public:
    ScriptedSource(const std::vector<Event> &events, size_t max_piece) : events_(events), max_(max_piece) {}
    mv::platform::IoResult read(char *buf, size_t cap) noexcept override {
        if (next_ >= events_.size()) return {IoStatus::stopped, 0, 0};
        const Event &e = events_[next_];
        if (e.status != IoStatus::ok) {
            ++next_;
            return {e.status, 0, e.code};
        }
        const size_t n = std::min({e.bytes.size() - offset_, cap, max_});
        std::memcpy(buf, e.bytes.data() + offset_, n);
        if ((offset_ += n) == e.bytes.size()) {
            ++next_;
            offset_ = 0;
        }
        return {IoStatus::ok, n, 0};
    }

  private:
    const std::vector<Event> &events_;
    size_t max_;
    size_t next_ = 0;
    size_t offset_ = 0;
};

// The rules of the protocol, one byte at a time: LF ends a line, CR is
// dropped, 8191 characters end a line by themselves, a timeout hands over
// a partial line.
class ByteAtATime {
  public:
    explicit ByteAtATime(const std::vector<Event> &events) : source_(events, 1) {}
    mv::LineResult next() {
        line_.clear();
        for (;;) {
            char c;
            const mv::platform::IoResult r = source_.read(&c, 1);
            if (r.status == IoStatus::ok) {
                if (c == '\r') continue;
                if (c == '\n') return result(mv::LineStatus::line);
                line_.push_back(c);
                if (line_.size() == mv::kLineCap - 1) return result(mv::LineStatus::line);
                continue;
            }
            switch (r.status) {
            case IoStatus::timeout:
                return result(line_.empty() ? mv::LineStatus::idle : mv::LineStatus::line);
            case IoStatus::closed:
                return result(mv::LineStatus::closed);
            case IoStatus::error:
                return result(mv::LineStatus::error, r.error);
            default:
                return result(mv::LineStatus::stopped);
            }
        }
    }

  private:
    mv::LineResult result(mv::LineStatus status, int error = 0) const {
        return {status, line_.c_str(), line_.size(), error};
    }
    ScriptedSource source_;
    std::string line_;
};

inline std::string check_line_framing(const uint8_t *in, size_t size) {
    const std::vector<Event> events = parse_events(in, size);
    ScriptedSource source(events, SIZE_MAX);
    ByteAtATime model(events);
    static mv::LineReader reader; // 12 KiB: kept off the stack
    reader.reset();
    size_t bound = events.size() + 1; // every result takes an event or a byte
    for (const Event &e : events)
        bound += e.bytes.size();
    for (size_t n = 0; n <= bound; ++n) {
        const mv::LineResult got = reader.next(source);
        const mv::LineResult want = model.next();
        const std::string where = "result " + std::to_string(n) + ": ";
        if (got.status != want.status)
            return where + "status " + std::to_string(static_cast<int>(got.status)) + ", expected " +
                   std::to_string(static_cast<int>(want.status));
        if (got.text == nullptr || got.length >= mv::kLineCap || got.text[got.length] != '\0')
            return where + "text not terminated within the line buffer";
        if (std::string_view(got.text, got.length) != std::string_view(want.text, want.length))
            return where + "text of " + std::to_string(got.length) + " bytes, expected " +
                   std::to_string(want.length);
        if (std::memchr(got.text, '\n', got.length) != nullptr ||
            std::memchr(got.text, '\r', got.length) != nullptr)
            return where + "a line end inside the text";
        if (got.status == mv::LineStatus::error && got.error != want.error) return where + "wrong error code";
        if (got.status == mv::LineStatus::stopped) return {};
    }
    return "the reader never reported the end of the input";
}

// ---- update lines ------------------------------------------------------------
//
// The input is split into lines (at most 8191 characters each, as framing
// gives them); every update line among them goes through Apply update, and
// the published table is checked after each against its invariants and
// against a model of the rebuild (same entry parser, independent merging).

struct Row {
    std::string alias;
    float gain;
    float pan;
    float muffle;
    float radio;
};

inline std::string folded(std::string_view s) {
    std::string out(s);
    for (char &c : out)
        c = mv::ascii_lower(c);
    return out;
}

// Number forms that "%f" scanning must fail, since it can give back only one
// character: a partial "infinity" (more than "inf", less than the word), "0x"
// with no hexadecimal digit after it, and an exponent mark (with its sign)
// with no digit after it: "1e", "1e+", "0x1p".
inline bool scanning_fails(std::string_view entry, size_t alias_len) {
    std::string_view t = mv::trim(entry.substr(alias_len));
    if (!t.empty() && (t[0] == '+' || t[0] == '-')) t.remove_prefix(1);
    size_t k = 0;
    while (k < t.size() && k < 8 && mv::ascii_lower(t[k]) == "infinity"[k])
        ++k;
    if (k > 3 && k < 8) return true;
    const bool hex = t.size() >= 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X');
    const auto digit = [hex](char c) {
        return hex ? std::isxdigit(static_cast<unsigned char>(c)) != 0 : c >= '0' && c <= '9';
    };
    size_t i = hex ? 2 : 0, digits = 0;
    for (; i < t.size() && digit(t[i]); ++i)
        ++digits;
    if (i < t.size() && t[i] == '.')
        for (++i; i < t.size() && digit(t[i]); ++i)
            ++digits;
    if (hex && digits == 0) return true;
    if (digits == 0 || i == t.size() || mv::ascii_lower(t[i]) != (hex ? 'p' : 'e')) return false;
    if (++i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    return i == t.size() || t[i] < '0' || t[i] > '9';
}

inline std::vector<Row> model_rows(mv::UpdateKind kind, std::string_view payload, std::string &broken) {
    payload = payload.substr(0, payload.find('\0'));
    std::vector<Row> rows;
    std::unordered_map<std::string, size_t> index; // folded alias -> row
    size_t pos = 0;
    while (pos <= payload.size()) {
        size_t comma = payload.find(',', pos);
        if (comma == std::string_view::npos) comma = payload.size();
        const std::string_view piece = mv::trim(payload.substr(pos, comma - pos));
        pos = comma + 1;
        mv::SpeakerState entry{};
        if (piece.empty() || !mv::parse_speaker_entry(piece, kind, entry)) continue;
        if (scanning_fails(piece, std::strlen(entry.alias)))
            broken = "entry \"" + std::string(piece.substr(0, 60)) + "\" read although scanning fails it";
        const Row row{entry.alias, mv::clamp_gain(entry.gain), mv::clamp_pan(entry.pan),
                      mv::clamp_muffle(entry.muffle), mv::clamp_radio(entry.radio)};
        const auto [at, added] = index.emplace(folded(row.alias), rows.size());
        if (!added) {
            rows[at->second].gain = row.gain;
            rows[at->second].pan = row.pan;
            rows[at->second].muffle = row.muffle;
            rows[at->second].radio = row.radio;
        } else if (rows.size() < mv::kMaxSpeakers) {
            rows.push_back(row);
        } else {
            index.erase(at);
        }
    }
    return rows;
}

inline std::string check_table(mv::UpdateKind kind, const std::vector<Row> &want) {
    mv::platform::LockGuard guard(mv::g_state.lock);
    const mv::SpeakerTable &t = *mv::g_state.speakers.load();
    if (t.count > mv::kMaxSpeakers) return "more than 512 rows";
    if (t.count != want.size())
        return std::to_string(t.count) + " rows, expected " + std::to_string(want.size());
    std::unordered_map<std::string, size_t> seen; // folded alias -> row
    for (size_t i = 0; i < t.count; ++i) {
        const mv::SpeakerState &r = t.rows[i];
        const std::string at = "row " + std::to_string(i) + ": ";
        const size_t len = strnlen(r.alias, mv::kAliasCap);
        if (len == 0 || len >= mv::kAliasCap) return at + "alias empty or unterminated";
        for (size_t k = 0; k < len; ++k)
            if (mv::is_space(r.alias[k]) || r.alias[k] == ',') return at + "whitespace or comma in the alias";
        if (std::isnan(r.gain) || std::isnan(r.pan) || std::isnan(r.muffle)) return at + "NaN";
        if (!(r.gain >= 0.0f && r.gain <= 1.0f)) return at + "gain out of [0, 1]";
        if (!(r.pan >= -1.0f && r.pan <= 1.0f)) return at + "pan out of [-1, 1]";
        if (!(r.muffle >= 0.0f && r.muffle <= 1.0f)) return at + "muffle out of [0, 1]";
        if (!(r.radio >= 0.0f && r.radio <= 1.0f)) return at + "radio out of [0, 1]";
        if (kind != mv::UpdateKind::update3 && (r.muffle != 0.0f || r.radio != 0.0f))
            return at + "muffle or radio from a kind without one";
        // The audio path multiplies by these alone: they must be the law's.
        const float l = std::sqrt((1.0f - r.pan) * 0.5f) * r.gain,
                    rr = std::sqrt((1.0f + r.pan) * 0.5f) * r.gain;
        if (std::memcmp(&l, &r.left, sizeof l) != 0 || std::memcmp(&rr, &r.right, sizeof rr) != 0)
            return at + "multipliers other than the pan law's";
        if (const auto [it, added] = seen.emplace(folded(r.alias), i); !added)
            return at + "alias repeats row " + std::to_string(it->second);
        if (want[i].alias != r.alias) return at + "alias out of first-appearance order";
        if (std::memcmp(&want[i].gain, &r.gain, sizeof r.gain) != 0 ||
            std::memcmp(&want[i].pan, &r.pan, sizeof r.pan) != 0 ||
            std::memcmp(&want[i].muffle, &r.muffle, sizeof r.muffle) != 0 ||
            std::memcmp(&want[i].radio, &r.radio, sizeof r.radio) != 0)
            return at + "values other than the last given";
        const std::string_view alias(r.alias, len);
        if (mv::speaker_table_find(t, alias, mv::fold_hash(alias)) != &r)
            return at + "lookup does not find it";
    }
    return {};
}

inline std::string check_update_lines(const uint8_t *in, size_t size) {
    mv::log_configure(false, ""); // the log is not what is under test here
    const std::string_view all(reinterpret_cast<const char *>(in), size);
    static char line[mv::kLineCap];
    uint32_t now = 1;
    size_t pos = 0;
    while (pos < all.size()) {
        size_t end = all.find('\n', pos);
        if (end == std::string_view::npos) end = all.size();
        size_t len = end - pos;
        if (len > mv::kLineCap - 1) {
            len = mv::kLineCap - 1;
            end = pos + len - 1; // the rest is a line of its own
        }
        std::memcpy(line, all.data() + pos, len);
        line[len] = '\0';
        pos = end + 1;

        mv::UpdateKind kind{};
        std::string_view payload;
        if (!mv::parse_update_line(line, kind, payload)) continue;
        // What the worker hands over: the payload up to the line's end.
        mv::apply_update(kind, payload, now += 997);
        std::string broken;
        const std::vector<Row> want = model_rows(kind, payload, broken);
        if (broken.empty()) broken = check_table(kind, want);
        if (!broken.empty()) return "after \"" + std::string(line, len < 60 ? len : 60) + "\": " + broken;
    }
    return {};
}

// ---- the settings file -------------------------------------------------------
//
// The input is a whole settings file. Read from a file, the settings must be
// those of its lines taken one by one as fgets cuts them (1023 bytes at most),
// and every value within its bounds.

inline std::string check_settings_file(const uint8_t *in, size_t size) {
    std::FILE *file = std::tmpfile();
    if (file == nullptr) return "cannot create a temporary file";
    if (size > 0 && std::fwrite(in, 1, size, file) != size) {
        std::fclose(file);
        return "cannot write the temporary file";
    }
    std::rewind(file);
    mv::PluginSettings got{};
    mv::settings_defaults(got);
    mv::settings_apply_file(got, file);
    std::fclose(file);

    mv::PluginSettings want{};
    mv::settings_defaults(want);
    const std::string_view text(reinterpret_cast<const char *>(in), size);
    char piece[1024];
    for (size_t pos = 0; pos < text.size();) {
        size_t n = 0;
        while (n < sizeof piece - 1 && pos < text.size()) {
            const char c = text[pos++];
            piece[n++] = c;
            if (c == '\n') break;
        }
        piece[n] = '\0';
        mv::settings_apply_line(want, piece);
    }

    if (strnlen(got.server_host, sizeof got.server_host) >= sizeof got.server_host)
        return "host unterminated";
    if (strnlen(got.api_key, sizeof got.api_key) >= sizeof got.api_key) return "api_key unterminated";
    if (got.reconnect_sec < 1 || got.reconnect_sec > mv::kMaxReconnectSec)
        return "reconnect_sec out of bounds";
    if (std::strcmp(got.server_host, want.server_host) != 0) return "host differs from line-by-line reading";
    if (std::strcmp(got.api_key, want.api_key) != 0) return "api_key differs from line-by-line reading";
    if (got.server_port != want.server_port || got.enabled != want.enabled ||
        got.debug_log != want.debug_log || got.reconnect_sec != want.reconnect_sec)
        return "a value differs from line-by-line reading";
    return {};
}

} // namespace mvfuzz
