// Name lookups that never answer, as with a DNS server that does not reply:
// this test program puts its own getaddrinfo in front of the C library's (the
// plugin, loaded later, binds to it), and holds every lookup of
// kHangingName until the test lets them go. POSIX only: elsewhere no lookup
// is ever held.
#pragma once

#include <cstddef>

namespace mvtest {

inline constexpr char kHangingName[] = "lookup.never.answers.test";

// Lookups of kHangingName now inside getaddrinfo.
[[nodiscard]] size_t lookups_held();
// Lets every held lookup (and any later one) fail at once.
void release_lookups();
// Holds lookups of kHangingName again.
void hold_lookups();

} // namespace mvtest
