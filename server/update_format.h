// A table as the line the plugin reads: "UPDATE2 VC-Fox 0.913 0.707,
// VC-Heron 0.795 -0.447\n"; UPDATE3 entries add the muffle, and the radio
// when it is above 0. Numbers from the integers with exactly 3 decimals, no
// locale, appended to a buffer that keeps its capacity.
#pragma once

#include <cstdint>
#include <string>

#include "tables.h"

namespace mvserver {

void append_update(std::string &out, const Table &table, const World &world);

} // namespace mvserver
