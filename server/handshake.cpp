#include "handshake.h"

#include "control.h"
#include "crypto.h"

namespace mvserver {

Handshake::Outcome Handshake::refuse(const char *reason) {
    step_ = Step::refused;
    Outcome o;
    o.refused = reason;
    o.send = std::string("ERR ") + reason + "\n";
    return o;
}

const char *Handshake::check_player(const World &world, uint32_t *slot) const {
    const auto found = world.find(alias_);
    if (!found || world.player(*found).hash.empty()) return "unknown_alias";
    const Player &p = world.player(*found);
    if (p.address && *p.address != peer_) return "wrong_address";
    *slot = *found;
    return nullptr;
}

Handshake::Outcome Handshake::on_line(std::string_view line, const World &world, std::string_view key) {
    uint32_t slot = 0;
    switch (step_) {
    case Step::await_hello: {
        constexpr std::string_view kHello = "HELLO2 ";
        if (!line.starts_with(kHello)) return refuse("bad_hello");
        const std::string_view rest = line.substr(kHello.size());
        const size_t space = rest.find(' ');
        if (space == std::string_view::npos || space == 0 || space + 1 == rest.size())
            return refuse("bad_hello");
        alias_ = rest.substr(space + 1, 128);
        if (!same_secret(rest.substr(0, space), key)) return refuse("bad_key");
        if (!valid_alias(rest.substr(space + 1))) return refuse("unknown_alias");
        if (const char *bad = check_player(world, &slot)) return refuse(bad);
        step_ = Step::await_proof;
        return {nullptr, "CHALLENGE " + token_ + "\n", 0};
    }
    case Step::await_proof: {
        constexpr std::string_view kProof = "PROOF ";
        if (!line.starts_with(kProof)) return refuse("bad_proof");
        // The player may have been replaced or removed since HELLO2.
        if (const char *bad = check_player(world, &slot)) return refuse(bad);
        const std::string expected = hmac_sha256_hex(world.player(slot).hash, token_);
        if (expected.empty() || !same_secret(line.substr(kProof.size()), expected))
            return refuse("bad_proof");
        step_ = Step::established;
        return {nullptr, "OK\n", slot};
    }
    case Step::established:
    case Step::refused:
        break;
    }
    return {};
}

} // namespace mvserver
