// What the tools need from the operating system beyond the C++ library; one
// implementation per platform (posix/os.cpp, win32/os.cpp).
#pragma once

#include <cstddef>
#include <ctime>

namespace mvtools {

// Fills buf from the system's cryptographic generator; false when it fails.
[[nodiscard]] bool random_bytes(unsigned char *buf, size_t len);
// The broken-down local time of t.
[[nodiscard]] std::tm local_time(std::time_t t);

} // namespace mvtools
