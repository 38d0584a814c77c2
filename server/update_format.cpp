#include "update_format.h"

#include <charconv>

namespace mvserver {

void append_milli(std::string &out, int32_t v) {
    char buf[24];
    char *p = buf;
    int64_t m = v;
    if (m < 0) {
        *p++ = '-';
        m = -m;
    }
    p = std::to_chars(p, buf + sizeof buf, m / 1000).ptr;
    const auto frac = static_cast<int>(m % 1000);
    *p++ = '.';
    *p++ = static_cast<char>('0' + frac / 100);
    *p++ = static_cast<char>('0' + frac / 10 % 10);
    *p++ = static_cast<char>('0' + frac % 10);
    out.append(buf, static_cast<size_t>(p - buf));
}

void append_update(std::string &out, const Table &table, const World &world) {
    out += table.update3 ? "UPDATE3" : "UPDATE2";
    bool first = true;
    for (const TableEntry &e : table.entries) {
        out += first ? " " : ", ";
        first = false;
        out += world.player(e.speaker_slot).alias;
        out += ' ';
        append_milli(out, e.heard.gain);
        out += ' ';
        append_milli(out, e.heard.pan);
        if (!table.update3) continue;
        out += ' ';
        append_milli(out, e.heard.muffle);
        if (e.heard.radio > 0) {
            out += ' ';
            append_milli(out, e.heard.radio);
        }
    }
    out += '\n';
}

} // namespace mvserver
