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

std::tm local_time(std::time_t t) {
    std::tm tm{};
    localtime_s(&tm, &t);
    return tm;
}

} // namespace mvtools
