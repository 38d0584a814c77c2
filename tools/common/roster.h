// The reference server's roster file: the shared key and the players it
// knows, each a voice alias with the certificate hash that keys its proof.
//
//   key SET_THIS_PRIVATE_KEY
//   player VC-Listener 3f1a9c0e5b7d2468ace13579bdf02468ace13579
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace mvtools {

struct Player {
    std::string alias;
    std::string hash; // the text of the hash is the HMAC key, as the host reports it
};

struct Roster {
    std::string key;
    std::vector<Player> players;
    // Aliases match without regard to ASCII case, as in the plugin's tables.
    [[nodiscard]] const Player *find(std::string_view alias) const;
};

// Parses a roster file's text. On failure returns false and says where.
bool parse_roster(std::string_view text, Roster *out, std::string *error);
bool load_roster(const std::string &path, Roster *out, std::string *error);

// Whole file as bytes; false when it cannot be read.
bool read_text_file(const std::string &path, std::string *out);

} // namespace mvtools
