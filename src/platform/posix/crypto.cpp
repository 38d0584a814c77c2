// HMAC-SHA-256 from OpenSSL's libcrypto.
#include "platform/platform.h"

#include <climits>
#include <openssl/evp.h>
#include <openssl/hmac.h>

namespace mv::platform {

bool hmac_sha256(const unsigned char *key, size_t key_len, const unsigned char *msg, size_t msg_len,
                 unsigned char out[32]) noexcept {
    if (key_len > INT_MAX || (key == nullptr && key_len != 0) || (msg == nullptr && msg_len != 0))
        return false;
    // OpenSSL refuses a null key even when it is empty.
    static const unsigned char empty = 0;
    unsigned int out_len = 0;
    const unsigned char *digest = HMAC(EVP_sha256(), key != nullptr ? key : &empty, static_cast<int>(key_len),
                                       msg != nullptr ? msg : &empty, msg_len, out, &out_len);
    return digest != nullptr && out_len == 32;
}

} // namespace mv::platform
