#include "falloff/speaker_table.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "common/pan_law.h"
#include "common/text.h"

namespace mv {

namespace {

constexpr size_t kIndexSlots = sizeof(SpeakerTable::index) / sizeof(SpeakerTable::index[0]);
static_assert((kIndexSlots & (kIndexSlots - 1)) == 0, "the index is probed with a mask");
static_assert(kIndexSlots >= 2 * kMaxSpeakers, "half-full at most, so probes stay short");
static_assert(kMaxSpeakers < std::numeric_limits<uint16_t>::max(), "slots hold row+1");
static_assert(kAliasCap - 1 <= std::numeric_limits<uint8_t>::max(), "alias lengths fit a byte");

constexpr bool is_hex_digit(char c) noexcept {
    return (c >= '0' && c <= '9') || (ascii_lower(c) >= 'a' && ascii_lower(c) <= 'f');
}

const char *skip_space(const char *p, const char *end) noexcept {
    while (p < end && is_space(*p))
        ++p;
    return p;
}

// For a number too large or too small for a float: true when it overflowed.
// Only the sign of its order of magnitude matters, so a rough log is enough.
bool overflowed(const char *p, const char *end, bool hex) noexcept {
    const char exp_mark = hex ? 'p' : 'e';
    long long mag = 0; // position of the first non-zero digit
    bool nonzero = false;
    bool point = false;
    for (; p < end && ascii_lower(*p) != exp_mark; ++p) {
        if (*p == '.') {
            point = true;
        } else if (nonzero) {
            if (!point) ++mag;
        } else {
            if (point) --mag;
            nonzero = *p != '0';
        }
    }
    if (!nonzero) return false;
    long long exp = 0;
    bool exp_negative = false;
    if (p < end) {
        ++p;
        if (p < end && (*p == '+' || *p == '-')) exp_negative = *p++ == '-';
        for (; p < end && *p >= '0' && *p <= '9'; ++p)
            if (exp < 1000000) exp = exp * 10 + (*p - '0');
    }
    if (exp_negative) exp = -exp;
    return (hex ? 4 * mag : mag) + exp >= 0;
}

// How many characters of "infinity" (any case) p starts with, at most 8.
size_t infinity_prefix(const char *p, const char *end) noexcept {
    static constexpr char kWord[] = "infinity";
    size_t k = 0;
    while (k < 8 && p + k < end && ascii_lower(p[k]) == kWord[k])
        ++k;
    return k;
}

// Whether the text after a number is an exponent mark with no digit after it
// (and its sign): scanning takes "1e", "1e+" or "0x1p" as the start of a longer
// number and then fails, where from_chars stops before the mark.
bool exponent_stops_short(const char *p, const char *end, bool hex) noexcept {
    if (p == end || ascii_lower(*p) != (hex ? 'p' : 'e')) return false;
    ++p;
    if (p < end && (*p == '+' || *p == '-')) ++p;
    return p == end || *p < '0' || *p > '9';
}

// One number as "%f" scanning reads it: optional sign, then a decimal or
// hexadecimal float, inf, infinity or nan. Returns the end of the accepted
// text, or null when the conversion fails. Scanning can give back only one
// character, so text that starts a longer form and stops short fails rather
// than falling back to a shorter one: "infin" is no number (not "inf"), nor
// is "0x" without a hexadecimal digit (not "0"), nor "1e" without an exponent
// (not "1"). from_chars never consults the locale (the host may well run with
// a decimal comma) and never reads past end.
const char *parse_number(const char *p, const char *end, float &value) noexcept {
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    if (p == end || *p == '+' || *p == '-') return nullptr;

    if (const size_t k = infinity_prefix(p, end); k >= 3) {
        if (k != 3 && k != 8) return nullptr;
        value = negative ? -std::numeric_limits<float>::infinity() : std::numeric_limits<float>::infinity();
        return p + k;
    }

    float v = 0.0f;
    const char *digits = p;
    const bool hex = end - p >= 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X');
    std::from_chars_result r{};
    if (hex) {
        digits = p + 2;
        const bool has_digit = (digits < end && is_hex_digit(*digits)) ||
                               (end - digits >= 2 && digits[0] == '.' && is_hex_digit(digits[1]));
        if (!has_digit) return nullptr;
        r = std::from_chars(digits, end, v, std::chars_format::hex);
    } else {
        r = std::from_chars(p, end, v);
    }
    if (r.ec == std::errc::invalid_argument || exponent_stops_short(r.ptr, end, hex)) return nullptr;
    if (r.ec == std::errc::result_out_of_range)
        v = overflowed(digits, r.ptr, hex) ? std::numeric_limits<float>::infinity() : 0.0f;
    value = negative ? -v : v;
    return r.ptr;
}

float number_or_zero(float v) noexcept {
    return std::isnan(v) ? 0.0f : v;
}

// Parses entry into out and gives the alias length, so callers need no strlen.
// UPDATE reads a gain, UPDATE2 a gain and a pan, UPDATE3 also a muffle and a
// radio; as in formatted scanning, a number is read only when the one before
// it was.
bool parse_entry(std::string_view entry, UpdateKind kind, SpeakerState &out, size_t &alias_len) noexcept {
    entry = entry.substr(0, entry.find('\0')); // the text ends at its first NUL
    const char *p = entry.data();
    const char *const end = p + entry.size();

    p = skip_space(p, end);
    const char *const alias = p;
    while (p < end && !is_space(*p) && static_cast<size_t>(p - alias) < kAliasCap - 1)
        ++p;
    const size_t len = static_cast<size_t>(p - alias);
    if (len == 0) return false;

    // An alias cut at 127 characters leaves the rest of its run to be read as
    // the gain, exactly as a field width does in formatted scanning.
    float gain = 0.0f;
    p = parse_number(skip_space(p, end), end, gain);
    if (p == nullptr) return false;

    // The numbers after the gain that this kind carries; the first that
    // cannot be read ends the entry there, it and the rest 0.
    float more[3] = {0.0f, 0.0f, 0.0f}; // pan, muffle, radio
    const size_t wanted = kind == UpdateKind::update ? 0 : kind == UpdateKind::update2 ? 1 : 3;
    for (size_t i = 0; i < wanted && p != nullptr; ++i) {
        p = parse_number(skip_space(p, end), end, more[i]);
        if (p == nullptr) more[i] = 0.0f;
    }

    std::memcpy(out.alias, alias, len);
    out.alias[len] = '\0';
    out.gain = number_or_zero(gain);
    out.pan = number_or_zero(more[0]);
    out.muffle = number_or_zero(more[1]);
    out.radio = number_or_zero(more[2]);
    alias_len = len;
    return true;
}

void merge_entry(SpeakerTable &table, const SpeakerState &entry, size_t alias_len) noexcept {
    const std::string_view alias(entry.alias, alias_len);
    const uint32_t hash = fold_hash(alias);
    size_t slot = hash & (kIndexSlots - 1);
    for (size_t probes = 0; probes < kIndexSlots; ++probes, slot = (slot + 1) & (kIndexSlots - 1)) {
        const uint16_t held = table.index[slot];
        if (held == 0) break;
        if (held > table.count) continue;
        SpeakerState &row = table.rows[held - 1];
        if (table.hashes[held - 1] == hash && ascii_iequals(std::string_view(row.alias), alias)) {
            // A repeated alias keeps its first position and spelling.
            row.gain = entry.gain;
            row.pan = entry.pan;
            row.muffle = entry.muffle;
            row.radio = entry.radio;
            return;
        }
    }
    if (table.count >= kMaxSpeakers || table.index[slot] != 0) return;

    SpeakerState &row = table.rows[table.count];
    std::memcpy(row.alias, entry.alias, alias_len + 1);
    row.gain = entry.gain;
    row.pan = entry.pan;
    row.muffle = entry.muffle;
    row.radio = entry.radio;
    table.hashes[table.count] = hash;
    table.alias_lengths[table.count] = static_cast<uint8_t>(alias_len);
    table.index[slot] = static_cast<uint16_t>(table.count + 1);
    ++table.count;
}

} // namespace

const char *update_kind_name(UpdateKind kind) noexcept {
    switch (kind) {
    case UpdateKind::update:
        return "UPDATE";
    case UpdateKind::update2:
        return "UPDATE2";
    case UpdateKind::update3:
        return "UPDATE3";
    }
    return "UPDATE";
}

float clamp_gain(float gain) noexcept {
    if (std::isnan(gain)) return 0.0f;
    if (gain < 0.0f) return 0.0f;
    if (gain > 1.0f) return 1.0f;
    return gain;
}

float clamp_pan(float pan) noexcept {
    if (std::isnan(pan)) return 0.0f;
    if (pan < -1.0f) return -1.0f;
    if (pan > 1.0f) return 1.0f;
    return pan;
}

float clamp_muffle(float muffle) noexcept {
    if (std::isnan(muffle) || muffle < 0.0f) return 0.0f;
    return muffle > 1.0f ? 1.0f : muffle;
}

bool parse_speaker_entry(std::string_view entry, UpdateKind kind, SpeakerState &out) noexcept {
    size_t alias_len = 0;
    return parse_entry(entry, kind, out, alias_len);
}

void build_speaker_table(SpeakerTable &table, UpdateKind kind, std::string_view payload) noexcept {
    speaker_table_clear(table);
    payload = payload.substr(0, payload.find('\0'));

    // Split at commas; runs of commas and blank pieces yield nothing.
    size_t pos = 0;
    while (pos < payload.size()) {
        size_t comma = payload.find(',', pos);
        if (comma == std::string_view::npos) comma = payload.size();
        const std::string_view piece = trim(payload.substr(pos, comma - pos));
        pos = comma + 1;

        SpeakerState entry;
        size_t alias_len = 0;
        if (piece.empty() || !parse_entry(piece, kind, entry, alias_len)) continue;
        entry.gain = clamp_gain(entry.gain);
        entry.pan = clamp_pan(entry.pan);
        entry.muffle = clamp_muffle(entry.muffle);
        entry.radio = clamp_radio(entry.radio);
        merge_entry(table, entry, alias_len);
    }
    // The pan law runs here, on the worker, once per row and update, so that
    // the audio path only looks up and multiplies.
    for (size_t i = 0; i < table.count; ++i) {
        SpeakerState &row = table.rows[i];
        const Multipliers m = pan_multipliers(row.gain, row.pan);
        row.left = m.left;
        row.right = m.right;
    }
}

void speaker_table_clear(SpeakerTable &table) noexcept {
    table.count = 0;
    std::memset(table.index, 0, sizeof table.index);
}

const SpeakerState *speaker_table_find(const SpeakerTable &table, std::string_view alias,
                                       uint32_t alias_hash) noexcept {
    if (alias.empty() || alias.size() >= kAliasCap) return nullptr;
    size_t slot = alias_hash & (kIndexSlots - 1);
    for (size_t probes = 0; probes < kIndexSlots; ++probes, slot = (slot + 1) & (kIndexSlots - 1)) {
        const uint16_t held = table.index[slot];
        if (held == 0) return nullptr;
        const size_t row = held - 1u;
        if (row < table.count && table.hashes[row] == alias_hash &&
            ascii_iequals(std::string_view(table.rows[row].alias, table.alias_lengths[row]), alias))
            return &table.rows[row];
    }
    return nullptr;
}

} // namespace mv
