// HMAC-SHA-256 for the tools, from the system's cryptographic library
// (common/os.h): deliberately not the plugin's code, so that the falloff
// servers and the simulator check the plugin's proof independently.
#pragma once

#include <string>
#include <string_view>

namespace mvtools {

// 64 lowercase hex digits of HMAC-SHA-256(key, message); empty when the
// library fails (no proof then matches).
[[nodiscard]] std::string hmac_sha256_hex(std::string_view key, std::string_view message);

} // namespace mvtools
