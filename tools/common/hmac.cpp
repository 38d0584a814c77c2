#include "hmac.h"

#include <vector>

#include "os.h"
#include "text.h"

namespace mvtools {

std::string hmac_sha256_hex(std::string_view key, std::string_view message) {
    Digest256 d;
    if (!hmac_sha256(key, message, &d)) return {};
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
