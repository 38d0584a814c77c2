#include "handshake.h"

#include "common/hmac.h"
#include "common/text.h"

namespace mvtools {

ServerHandshake::Step ServerHandshake::reject(std::string reply, std::string log) {
    state_ = State::closed;
    return {std::move(reply) + "\n", true, std::move(log)};
}

ServerHandshake::Step ServerHandshake::on_line(std::string_view line, const Roster &roster) {
    switch (state_) {
    case State::await_hello: {
        // "HELLO2 <key> <alias>": the key holds no space, the alias is the rest.
        constexpr std::string_view kHello = "HELLO2 ";
        if (!line.starts_with(kHello))
            return reject("ERR bad_hello",
                          "rejected: first line is not HELLO2: '" + printable(line, 60) + "'");
        const std::string_view rest = line.substr(kHello.size());
        const size_t space = rest.find(' ');
        if (space == std::string_view::npos || space == 0 || space + 1 == rest.size())
            return reject("ERR bad_hello", "rejected: HELLO2 needs a key and an alias");
        const std::string_view key = rest.substr(0, space);
        const std::string_view alias = rest.substr(space + 1);
        if (!constant_time_equal(key, roster.key))
            return reject("ERR bad_key", "rejected: wrong shared key (alias " + printable(alias, 60) + ")");
        const Player *player = roster.find(alias);
        if (player == nullptr)
            return reject("ERR unknown_alias",
                          "rejected: alias " + printable(alias, 60) + " is not in the roster");
        alias_ = player->alias;
        hash_ = player->hash;
        state_ = State::await_proof;
        return {"CHALLENGE " + token_ + "\n", false, "hello2 alias=" + alias_ + " key=ok; challenge sent"};
    }
    case State::await_proof: {
        constexpr std::string_view kProof = "PROOF ";
        if (!line.starts_with(kProof))
            return reject("ERR bad_proof", "rejected: expected PROOF, got '" + printable(line, 60) + "'");
        const std::string_view proof = line.substr(kProof.size());
        if (proof.size() != 64 || !is_lower_hex(proof))
            return reject("ERR bad_proof", "rejected: proof is not 64 lowercase hex digits");
        const std::string expected = hmac_sha256_hex(hash_, token_);
        if (expected.empty()) return reject("ERR internal", "rejected: HMAC failed on the server");
        if (!constant_time_equal(proof, expected))
            return reject("ERR bad_proof", "rejected: proof mismatch for " + alias_ + " (got " +
                                               std::string(proof.substr(0, 8)) + "..., expected " +
                                               expected.substr(0, 8) +
                                               "...; is the roster's certificate hash the player's?)");
        state_ = State::established;
        return {"OK\n", false, "proof accepted for " + alias_};
    }
    case State::established:
    case State::closed:
        break;
    }
    return {};
}

} // namespace mvtools
