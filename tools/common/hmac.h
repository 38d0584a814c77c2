// HMAC-SHA-256 for the tools, on our own SHA-256: deliberately not the
// plugin's code, so that the reference server and the simulator check the
// plugin's proof independently.
#pragma once

#include <string>
#include <string_view>

#include "sha256.h"

namespace mvtools {

[[nodiscard]] Sha256::Digest hmac_sha256(std::string_view key, std::string_view message);
// 64 lowercase hex digits of HMAC-SHA-256(key, message).
[[nodiscard]] std::string hmac_sha256_hex(std::string_view key, std::string_view message);
// Comparison whose time does not depend on where the texts differ.
[[nodiscard]] bool constant_time_equal(std::string_view a, std::string_view b);
// bytes random bytes from the system's generator, as lowercase hex; empty
// when the system has none to give.
[[nodiscard]] std::string random_hex(size_t bytes);

} // namespace mvtools
