// Name lookups that never answer, as with a DNS server that does not reply: a
// program that links this puts its own getaddrinfo in front of the C
// library's (a plugin loaded later binds to it when the program exports its
// symbols), and holds every lookup of kHangingName while told to. Other names
// go to the C library's own. POSIX only: elsewhere no lookup is ever held.
#pragma once

#include <cstddef>

namespace mvnet {

// Under the reserved top-level domain, so no real resolver ever answers it.
inline constexpr char kHangingName[] = "lookup.never.answers.invalid";

// Lookups of kHangingName now inside getaddrinfo.
[[nodiscard]] size_t lookups_held();
// Holds lookups of kHangingName from now on (as at the start), or lets every
// held one (and any later one) fail at once.
void hold_lookups(bool hold);

} // namespace mvnet
