#include <windows.h>

#include <bcrypt.h>

#include "common/os.h"

namespace mvtools {

bool random_bytes(unsigned char *buf, size_t len) {
    while (len > 0) {
        const ULONG n = len < 0x10000 ? static_cast<ULONG>(len) : 0x10000;
        if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, buf, n, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) return false;
        buf += n;
        len -= n;
    }
    return true;
}

bool hmac_sha256(std::string_view key, std::string_view message, Digest256 *out) {
    // CNG (bcrypt.dll), not the CryptoAPI the plugin uses: an independent check.
    BCRYPT_ALG_HANDLE alg = nullptr;
    if (!BCRYPT_SUCCESS(
            BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr, BCRYPT_ALG_HANDLE_HMAC_FLAG)))
        return false;
    BCRYPT_HASH_HANDLE hash = nullptr;
    // CNG takes the key and message as non-const buffers but only reads them.
    auto *key_bytes = reinterpret_cast<PUCHAR>(const_cast<char *>(key.data()));
    auto *message_bytes = reinterpret_cast<PUCHAR>(const_cast<char *>(message.data()));
    const bool ok =
        BCRYPT_SUCCESS(
            BCryptCreateHash(alg, &hash, nullptr, 0, key_bytes, static_cast<ULONG>(key.size()), 0)) &&
        BCRYPT_SUCCESS(BCryptHashData(hash, message_bytes, static_cast<ULONG>(message.size()), 0)) &&
        BCRYPT_SUCCESS(BCryptFinishHash(hash, out->data(), static_cast<ULONG>(out->size()), 0));
    if (hash != nullptr) BCryptDestroyHash(hash);
    BCryptCloseAlgorithmProvider(alg, 0);
    return ok;
}

std::tm local_time(std::time_t t) {
    std::tm tm{};
    localtime_s(&tm, &t);
    return tm;
}

} // namespace mvtools
