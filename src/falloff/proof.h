// The handshake proof: HMAC-SHA-256 of the challenge token keyed with the
// local certificate hash text, as 64 lowercase hexadecimal digits.
#pragma once

#include <cstddef>
#include <string_view>

namespace mv {

inline constexpr size_t kProofCap = 65;

// Writes the proof and logs nothing; false when the digest cannot be computed.
bool compute_proof(std::string_view key, std::string_view token, char out[kProofCap]) noexcept;

} // namespace mv
