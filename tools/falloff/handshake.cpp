#include "falloff/handshake.h"

#include "common/hmac.h"
#include "common/text.h"

namespace mvfalloff {

using mvtools::printable;

std::optional<Hello> parse_hello(std::string_view line) {
    constexpr std::string_view kHello = "HELLO2 ";
    if (!line.starts_with(kHello)) return std::nullopt;
    const std::string_view rest = line.substr(kHello.size());
    const size_t space = rest.find(' ');
    if (space == std::string_view::npos || space == 0 || space + 1 == rest.size()) return std::nullopt;
    return Hello{rest.substr(0, space), rest.substr(space + 1)};
}

std::optional<std::string_view> parse_proof(std::string_view line) {
    constexpr std::string_view kProof = "PROOF ";
    if (!line.starts_with(kProof)) return std::nullopt;
    const std::string_view proof = line.substr(kProof.size());
    if (proof.size() != 64 || !mvtools::is_lower_hex(proof)) return std::nullopt;
    return proof;
}

ServerHandshake::Reply ServerHandshake::reject(std::string reply, std::string log) {
    state_ = State::closed;
    return {std::move(reply) + "\n", true, std::move(log)};
}

ServerHandshake::Reply ServerHandshake::on_line(std::string_view line, const mvtools::Roster &roster) {
    switch (state_) {
    case State::await_hello: {
        if (!line.starts_with("HELLO2 "))
            return reject("ERR bad_hello",
                          "rejected: first line is not HELLO2: '" + printable(line, 60) + "'");
        const std::optional<Hello> hello = parse_hello(line);
        if (!hello) return reject("ERR bad_hello", "rejected: HELLO2 needs a key and an alias");
        if (!mvtools::constant_time_equal(hello->key, roster.key))
            return reject("ERR bad_key",
                          "rejected: wrong shared key (alias " + printable(hello->alias, 60) + ")");
        const mvtools::Player *player = roster.find(hello->alias);
        if (player == nullptr)
            return reject("ERR unknown_alias",
                          "rejected: alias " + printable(hello->alias, 60) + " is not in the roster");
        alias_ = player->alias;
        hash_ = player->hash;
        state_ = State::await_proof;
        return {"CHALLENGE " + token_ + "\n", false, "hello2 alias=" + alias_ + " key=ok; challenge sent"};
    }
    case State::await_proof: {
        if (!line.starts_with("PROOF "))
            return reject("ERR bad_proof", "rejected: expected PROOF, got '" + printable(line, 60) + "'");
        const std::optional<std::string_view> proof = parse_proof(line);
        if (!proof) return reject("ERR bad_proof", "rejected: proof is not 64 lowercase hex digits");
        const std::string expected = mvtools::hmac_sha256_hex(hash_, token_);
        if (!mvtools::constant_time_equal(*proof, expected))
            return reject("ERR bad_proof", "rejected: proof mismatch for " + alias_ + " (got " +
                                               std::string(proof->substr(0, 8)) + "..., expected " +
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

} // namespace mvfalloff
