#include "hmac.h"

#include "os.h"
#include "text.h"

namespace mvtools {

std::string hmac_sha256_hex(std::string_view key, std::string_view message) {
    Digest256 d;
    if (!hmac_sha256(key, message, &d)) return {};
    return to_hex(d.data(), d.size());
}

} // namespace mvtools
