#include "update_format.h"

#include <array>
#include <charconv>
#include <cstring>
#include <vector>

namespace mvserver {
namespace {

// Every value a table can hold (-1.000 to 1.000) as its text, made once:
// a line is then a run of short copies.
struct MilliText {
    char text[7];
    uint8_t size;
};
constexpr int32_t kMilliMin = -1000, kMilliMax = 1000;
constexpr size_t kMaxMilliText = 12; // "-2147483.648"

const std::array<MilliText, kMilliMax - kMilliMin + 1> &milli_texts() {
    static const auto table = [] {
        std::array<MilliText, kMilliMax - kMilliMin + 1> t{};
        for (int32_t v = kMilliMin; v <= kMilliMax; ++v) {
            MilliText &m = t[static_cast<size_t>(v - kMilliMin)];
            const int32_t a = v < 0 ? -v : v;
            char *p = m.text;
            if (v < 0) *p++ = '-';
            *p++ = static_cast<char>('0' + a / 1000);
            *p++ = '.';
            *p++ = static_cast<char>('0' + a / 100 % 10);
            *p++ = static_cast<char>('0' + a / 10 % 10);
            *p++ = static_cast<char>('0' + a % 10);
            m.size = static_cast<uint8_t>(p - m.text);
        }
        return t;
    }();
    return table;
}

// Writes v in thousandths with exactly 3 decimals at p (room for
// kMaxMilliText bytes); returns the end.
char *put_milli(char *p, int32_t v) {
    if (v >= kMilliMin && v <= kMilliMax) {
        const MilliText &m = milli_texts()[static_cast<size_t>(v - kMilliMin)];
        std::memcpy(p, &m, sizeof m); // whole, so one store; the size byte is overwritten next
        return p + m.size;
    }
    int64_t a = v;
    if (a < 0) {
        *p++ = '-';
        a = -a;
    }
    p = std::to_chars(p, p + kMaxMilliText, a / 1000).ptr;
    const auto frac = static_cast<int>(a % 1000);
    *p++ = '.';
    *p++ = static_cast<char>('0' + frac / 100);
    *p++ = static_cast<char>('0' + frac / 10 % 10);
    *p++ = static_cast<char>('0' + frac % 10);
    return p;
}

} // namespace

void append_update(std::string &out, const Table &table, const World &world) {
    // Written into room for its longest form, kept from line to line, then
    // appended as it came out.
    constexpr size_t kPerNumber = 1 + kMaxMilliText;
    size_t bound = 8 + 1;
    for (const TableEntry &e : table.entries)
        bound += 2 + world.player(e.speaker_slot).alias.size() + 4 * kPerNumber;
    thread_local std::vector<char> room;
    if (room.size() < bound) room.resize(bound);
    char *const begin = room.data();
    char *p = begin;
    std::memcpy(p, table.update3 ? "UPDATE3" : "UPDATE2", 7);
    p += 7;
    bool first = true;
    for (const TableEntry &e : table.entries) {
        if (!first) *p++ = ',';
        first = false;
        *p++ = ' ';
        const std::string &alias = world.player(e.speaker_slot).alias;
        std::memcpy(p, alias.data(), alias.size());
        p += alias.size();
        *p++ = ' ';
        p = put_milli(p, e.heard.gain);
        *p++ = ' ';
        p = put_milli(p, e.heard.pan);
        if (!table.update3) continue;
        *p++ = ' ';
        p = put_milli(p, e.heard.muffle);
        if (e.heard.radio > 0) {
            *p++ = ' ';
            p = put_milli(p, e.heard.radio);
        }
    }
    *p++ = '\n';
    out.append(begin, p);
}

} // namespace mvserver
