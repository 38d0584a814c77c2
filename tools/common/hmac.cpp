#include "hmac.h"

#include <algorithm>
#include <vector>

#include "os.h"
#include "text.h"

namespace mvtools {

Sha256::Digest hmac_sha256(std::string_view key, std::string_view message) {
    // RFC 2104: a key longer than a block is hashed first; then zero-padded.
    std::array<char, Sha256::kBlock> block{};
    if (key.size() > Sha256::kBlock) {
        const Sha256::Digest d = sha256(key);
        std::copy(d.begin(), d.end(), block.begin());
    } else {
        std::copy(key.begin(), key.end(), block.begin());
    }
    std::array<char, Sha256::kBlock> pad;
    for (size_t i = 0; i < pad.size(); ++i)
        pad[i] = static_cast<char>(block[i] ^ 0x36);
    Sha256 inner;
    inner.update(std::string_view(pad.data(), pad.size()));
    inner.update(message);
    const Sha256::Digest inner_digest = inner.finish();
    for (size_t i = 0; i < pad.size(); ++i)
        pad[i] = static_cast<char>(block[i] ^ 0x5c);
    Sha256 outer;
    outer.update(std::string_view(pad.data(), pad.size()));
    outer.update(std::string_view(reinterpret_cast<const char *>(inner_digest.data()), inner_digest.size()));
    return outer.finish();
}

std::string hmac_sha256_hex(std::string_view key, std::string_view message) {
    const Sha256::Digest d = hmac_sha256(key, message);
    return to_hex(d.data(), d.size());
}

bool constant_time_equal(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    // volatile: the compiler may not stop at the first difference.
    volatile unsigned char result = diff;
    return result == 0;
}

std::string random_hex(size_t bytes) {
    std::vector<unsigned char> buf(bytes);
    if (!random_bytes(buf.data(), buf.size())) return {};
    return to_hex(buf.data(), buf.size());
}

} // namespace mvtools
