// OpenSSL for the proof: HMAC-SHA-256, constant-time comparison and fresh
// challenge tokens.
#pragma once

#include <string>
#include <string_view>

namespace mvserver {

// 64 lowercase hex digits of HMAC-SHA-256(key, message).
[[nodiscard]] std::string hmac_sha256_hex(std::string_view key, std::string_view message);
// Equal texts, compared in time that does not depend on where they differ.
[[nodiscard]] bool same_secret(std::string_view a, std::string_view b);
// bytes random bytes as lowercase hex; empty when OpenSSL has none.
[[nodiscard]] std::string random_token(size_t bytes);

} // namespace mvserver
