#include "falloff/proof.h"

#include "platform/platform.h"

namespace mv {

namespace {

// Empty views may carry a null pointer; crypto providers get a real one.
const unsigned char *bytes_of(std::string_view s) noexcept {
    static constexpr unsigned char kNone[1] = {0};
    return s.empty() ? kNone : reinterpret_cast<const unsigned char *>(s.data());
}

} // namespace

static_assert(kProofCap == 2 * 32 + 1, "64 hex digits and a NUL");

bool compute_proof(std::string_view key, std::string_view token, char out[kProofCap]) noexcept {
    static constexpr char kHex[] = "0123456789abcdef";
    unsigned char digest[32];
    out[0] = '\0';
    if (!platform::hmac_sha256(bytes_of(key), key.size(), bytes_of(token), token.size(), digest))
        return false;
    for (size_t i = 0; i < sizeof digest; ++i) {
        out[2 * i] = kHex[digest[i] >> 4];
        out[2 * i + 1] = kHex[digest[i] & 0x0F];
    }
    out[2 * sizeof digest] = '\0';
    return true;
}

} // namespace mv
