#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <unistd.h>

#include "common/os.h"

namespace mvtools {

bool random_bytes(unsigned char *buf, size_t len) {
    // getentropy() gives at most 256 bytes a call.
    while (len > 0) {
        const size_t n = len < 256 ? len : 256;
        if (getentropy(buf, n) != 0) return false;
        buf += n;
        len -= n;
    }
    return true;
}

bool hmac_sha256(std::string_view key, std::string_view message, Digest256 *out) {
    unsigned int length = 0;
    // An empty key or message is valid: OpenSSL reads neither pointer then.
    return HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
                reinterpret_cast<const unsigned char *>(message.data()), message.size(), out->data(),
                &length) != nullptr &&
           length == out->size();
}

std::tm local_time(std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    return tm;
}

} // namespace mvtools
