// Name lookups that never answer, as with a DNS server that does not reply:
// this test program puts its own getaddrinfo in front of the C library's (the
// plugin, loaded later, binds to it), and holds every lookup of kHangingName
// while told to. POSIX only: elsewhere no lookup is ever held.
#pragma once

#include <cstddef>

namespace mvtest {

inline constexpr char kHangingName[] = "lookup.never.answers.test";

// Lookups of kHangingName now inside getaddrinfo.
[[nodiscard]] size_t lookups_held();
// Holds lookups of kHangingName from now on, or lets every held one (and any
// later one) fail at once.
void hold_lookups(bool hold);

} // namespace mvtest
