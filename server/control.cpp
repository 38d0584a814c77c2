#include "control.h"

#include <cmath>

#include "rules.h"
#include "text.h"

namespace mvserver {
namespace {

constexpr double kMaxCoordinate = 1e9; // metres; keeps every square finite
constexpr size_t kMaxEcho = 256;       // bytes of a refused line sent back
constexpr size_t kMaxWords = 8;

using Answer = ControlResult::Answer;

ControlResult refuse(const char *reason) {
    ControlResult r;
    r.refused = reason;
    return r;
}

bool printable_word(std::string_view w, size_t max) {
    if (w.empty() || w.size() > max) return false;
    for (char c : w) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7f) return false;
    }
    return true;
}

// Reads words[first..first+n) as numbers into v; a reason when one is not.
const char *numbers(const std::string_view *words, size_t first, size_t n, double *v) {
    for (size_t i = 0; i < n; ++i)
        if (!parse_number(words[first + i], &v[i])) return "bad_number";
    return nullptr;
}

bool in(double v, double lo, double hi) {
    return v >= lo && v <= hi;
}

} // namespace

bool valid_alias(std::string_view alias) {
    if (alias.empty() || alias.size() > 127) return false;
    for (char c : alias) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7f || c == ',') return false;
    }
    return true;
}

bool valid_hash(std::string_view hash) {
    return printable_word(hash, 128);
}

void append_refusal(std::string &out, const char *reason, std::string_view line) {
    out += "ERR ";
    out += reason;
    out += ": ";
    out.append(line.substr(0, kMaxEcho));
    out += '\n';
}

ControlResult execute_control(World &world, std::string_view line, TimePoint now) {
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (line.size() > kMaxControlLine) return refuse("too_long");
    std::string_view w[kMaxWords];
    const size_t n = split_words(line, w, kMaxWords);
    if (n == 0 || w[0].starts_with('#')) return {};
    const std::string_view cmd = w[0];
    const auto player = [&](std::string_view alias) { return world.find(alias); };
    double v[6] = {};

    if (cmd == "player") {
        if (n != 3 && n != 4) return refuse("bad_arguments");
        if (!valid_alias(w[1])) return refuse("bad_alias");
        if (!valid_hash(w[2])) return refuse("bad_hash");
        std::optional<Address> address;
        if (n == 4 && !(address = parse_address(w[3]))) return refuse("bad_address");
        const auto up = world.upsert(w[1], w[2], address);
        if (!up) return refuse("too_many");
        ControlResult r;
        if (up->credentials_changed) {
            r.close_slot = up->slot;
            r.close_reason = "credentials_changed";
        }
        return r;
    }
    if (cmd == "leave") {
        if (n != 2) return refuse("bad_arguments");
        const auto slot = player(w[1]);
        if (!slot) return refuse("not_a_player");
        world.remove(*slot);
        ControlResult r;
        r.close_slot = slot;
        r.close_reason = "player_left";
        return r;
    }
    if (cmd == "pos") {
        if (n != 6) return refuse("bad_arguments");
        if (const char *bad = numbers(w, 2, 4, v)) return refuse(bad);
        for (int i = 0; i < 4; ++i)
            if (!in(v[i], -kMaxCoordinate, kMaxCoordinate)) return refuse("out_of_range");
        const auto slot = player(w[1]);
        if (!slot) return refuse("not_a_player");
        world.place(*slot, v[0], v[1], v[2], v[3], now);
        return {};
    }
    if (cmd == "range") {
        if (n != 3) return refuse("bad_arguments");
        if (const char *bad = numbers(w, 2, 1, v)) return refuse(bad);
        if (!(v[0] > 0 && v[0] <= kMaxCoordinate)) return refuse("out_of_range");
        const auto slot = player(w[1]);
        if (!slot) return refuse("not_a_player");
        world.set_range(*slot, v[0]);
        return {};
    }
    if (cmd == "wall") {
        if (n != 7) return refuse("bad_arguments");
        if (!printable_word(w[1], 64)) return refuse("bad_wall_id");
        if (const char *bad = numbers(w, 2, 5, v)) return refuse(bad);
        for (int i = 0; i < 4; ++i)
            if (!in(v[i], -kMaxCoordinate, kMaxCoordinate)) return refuse("out_of_range");
        if (!in(v[4], 0, 1)) return refuse("out_of_range");
        if (!world.set_wall(w[1], {v[0], v[1], v[2], v[3]}, v[4])) return refuse("too_many");
        return {};
    }
    if (cmd == "unwall") {
        if (n != 2) return refuse("bad_arguments");
        if (!printable_word(w[1], 64)) return refuse("bad_wall_id");
        world.remove_wall(w[1]);
        return {};
    }
    if (cmd == "hear" || cmd == "unhear") {
        const bool hear = cmd == "hear";
        if (n != (hear ? 7u : 3u)) return refuse("bad_arguments");
        if (hear) {
            if (const char *bad = numbers(w, 3, 4, v)) return refuse(bad);
            if (!in(v[0], 0, 1) || !in(v[1], -1, 1) || !in(v[2], 0, 1) || !in(v[3], 0, 1))
                return refuse("out_of_range");
        }
        const auto l = player(w[1]), s = player(w[2]);
        if (!l || !s) return refuse("not_a_player");
        if (*l == *s) return refuse("same_player");
        if (!hear) {
            world.unhear(*l, *s);
        } else if (!world.hear(*l, *s, {to_milli(v[0]), to_milli(v[1]), to_milli(v[2]), to_milli(v[3])})) {
            return refuse("too_many");
        }
        return {};
    }
    if (cmd == "sync" || cmd == "stats") {
        if (n != 1) return refuse("bad_arguments");
        ControlResult r;
        r.answer = cmd == "sync" ? Answer::ok : Answer::stats;
        return r;
    }
    return refuse("unknown_command");
}

} // namespace mvserver
