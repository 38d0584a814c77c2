// How long test waits poll before they give up. Generous: a deadline only ends
// a wait that would otherwise hang; it never measures speed.
#pragma once

#include <chrono>

namespace mvtest {

inline constexpr std::chrono::milliseconds kDefaultDeadline{20000};

} // namespace mvtest
