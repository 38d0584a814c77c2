// What the tools need from the operating system beyond the C++ library; one
// implementation per platform (posix/os.cpp, win32/os.cpp).
#pragma once

#include <array>
#include <cstddef>
#include <ctime>
#include <string_view>

namespace mvtools {

// Fills buf from the system's cryptographic generator; false when it fails.
[[nodiscard]] bool random_bytes(unsigned char *buf, size_t len);
using Digest256 = std::array<unsigned char, 32>;
// HMAC-SHA-256 from the system's cryptographic library (OpenSSL on Linux, CNG
// on Windows): never the plugin's own code, so that the tools check its
// proofs independently. False when the library fails.
[[nodiscard]] bool hmac_sha256(std::string_view key, std::string_view message, Digest256 *out);
// The broken-down local time of t.
[[nodiscard]] std::tm local_time(std::time_t t);

} // namespace mvtools
