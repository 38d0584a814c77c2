// HMAC-SHA-256 through the CryptoAPI of ADVAPI32, driven with the exact calls,
// key blob and flags of the handshake proof.
#include "platform/platform.h"

#include <cstdlib>
#include <cstring>
#include <windows.h>

#include <wincrypt.h> // after windows.h, whose types it uses

namespace mv::platform {

namespace {
constexpr DWORD kBlobHeaderSize = 12; // BLOBHEADER, then the key length
static_assert(sizeof(BLOBHEADER) + sizeof(DWORD) == kBlobHeaderSize);
} // namespace

bool hmac_sha256(const unsigned char *key, size_t key_len, const unsigned char *msg, size_t msg_len,
                 unsigned char out[32]) noexcept {
    if (key_len > MAXDWORD - kBlobHeaderSize || msg_len > MAXDWORD) return false;
    if ((key == nullptr && key_len != 0) || (msg == nullptr && msg_len != 0)) return false;

    HCRYPTPROV provider = 0;
    if (!CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) return false;

    // A plaintext RC2 key blob, imported as an HMAC key: the documented way to
    // hand CryptoAPI raw key bytes of any length.
    const DWORD blob_len = kBlobHeaderSize + static_cast<DWORD>(key_len);
    auto *blob = static_cast<BYTE *>(std::malloc(blob_len));
    HCRYPTKEY hkey = 0;
    HCRYPTHASH hash = 0;
    DWORD digest_len = 32;
    bool ok = false;
    if (blob != nullptr) {
        const BLOBHEADER header{PLAINTEXTKEYBLOB, CUR_BLOB_VERSION, 0, CALG_RC2};
        const DWORD key_size = static_cast<DWORD>(key_len);
        std::memcpy(blob, &header, sizeof header);
        std::memcpy(blob + sizeof header, &key_size, sizeof key_size);
        if (key_len != 0) std::memcpy(blob + kBlobHeaderSize, key, key_len);

        HMAC_INFO info{};
        info.HashAlgid = CALG_SHA_256; // null inner and outer strings select the standard pads
        static const BYTE empty = 0;
        ok = CryptImportKey(provider, blob, blob_len, 0, CRYPT_IPSEC_HMAC_KEY, &hkey) &&
             CryptCreateHash(provider, CALG_HMAC, hkey, 0, &hash) &&
             CryptSetHashParam(hash, HP_HMAC_INFO, reinterpret_cast<const BYTE *>(&info), 0) &&
             CryptHashData(hash, msg != nullptr ? msg : &empty, static_cast<DWORD>(msg_len), 0) &&
             CryptGetHashParam(hash, HP_HASHVAL, out, &digest_len, 0) && digest_len == 32;
    }
    if (hash != 0) CryptDestroyHash(hash);
    if (hkey != 0) CryptDestroyKey(hkey);
    std::free(blob);
    CryptReleaseContext(provider, 0);
    return ok;
}

} // namespace mv::platform
