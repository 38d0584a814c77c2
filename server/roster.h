// A roster file: the shared key and a starting set of players, in the
// control lines' own grammar.
//
//   key SET_THIS_PRIVATE_KEY
//   player VC-Listener 3f1a9c0e5b7d2468ace13579bdf02468ace13579 [ADDRESS]
#pragma once

#include <string>
#include <string_view>

#include "world.h"

namespace mvserver {

// Adds the players to the world and sets *key when there is a key line.
bool parse_roster(std::string_view text, World &world, std::string *key, std::string *error);
bool load_roster(const std::string &path, World &world, std::string *key, std::string *error);

} // namespace mvserver
