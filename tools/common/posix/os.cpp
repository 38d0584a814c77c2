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

std::tm local_time(std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    return tm;
}

} // namespace mvtools
