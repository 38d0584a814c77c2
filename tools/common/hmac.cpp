#include "hmac.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <vector>

#include "text.h"

namespace mvtools {

std::string hmac_sha256_hex(std::string_view key, std::string_view message) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    // HMAC() wants non-null pointers even for empty inputs.
    static const unsigned char kEmpty = 0;
    const auto *k = key.empty() ? &kEmpty : reinterpret_cast<const unsigned char *>(key.data());
    const auto *m = message.empty() ? &kEmpty : reinterpret_cast<const unsigned char *>(message.data());
    if (HMAC(EVP_sha256(), k, static_cast<int>(key.size()), m, message.size(), digest, &len) == nullptr ||
        len != 32)
        return {};
    return to_hex(digest, len);
}

bool constant_time_equal(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    return a.empty() || CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::string random_hex(size_t bytes) {
    std::vector<unsigned char> buf(bytes);
    if (RAND_bytes(buf.data(), static_cast<int>(buf.size())) != 1) return {};
    return to_hex(buf.data(), buf.size());
}

} // namespace mvtools
