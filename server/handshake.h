// A plugin link's handshake, without sockets: HELLO2 with the shared key and
// an alias the world knows (from the bound address, if it has one), a fresh
// CHALLENGE, and the PROOF: HMAC-SHA-256 of the token keyed with the text of
// the player's certificate hash.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "address.h"
#include "world.h"

namespace mvserver {

class Handshake {
  public:
    enum class Step { await_hello, await_proof, established, refused };

    struct Outcome {
        const char *refused = nullptr; // bad_hello, bad_key, unknown_alias, wrong_address, bad_proof
        std::string send;              // the line to send (with its LF)
        uint32_t slot = 0;             // the player, once established
    };

    Handshake(std::string token, const Address &peer) : token_(std::move(token)), peer_(peer) {}

    // One line from the plugin (CR dropped), before the link is established.
    Outcome on_line(std::string_view line, const World &world, std::string_view key);

    [[nodiscard]] Step step() const { return step_; }
    // The alias as the plugin sent it (empty before HELLO2).
    [[nodiscard]] const std::string &alias() const { return alias_; }

  private:
    Outcome refuse(const char *reason);
    // The player behind the alias, if it may link from this peer.
    const char *check_player(const World &world, uint32_t *slot) const;

    Step step_ = Step::await_hello;
    std::string token_;
    Address peer_;
    std::string alias_;
};

} // namespace mvserver
