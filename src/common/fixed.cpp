#include "common/fixed.h"

#include <charconv>
#include <cmath>

namespace mv {

FixedText fixed(double value, int decimals) noexcept {
    FixedText out{};
    // to_chars never consults the locale; it prints the exact binary value
    // rounded to the precision, as printf does.
    if (std::isfinite(value)) {
        const auto r = std::to_chars(out.text, out.text + sizeof out.text - 1, value,
                                     std::chars_format::fixed, decimals);
        if (r.ec == std::errc()) {
            *r.ptr = '\0';
            return out;
        }
    }
    const char *word = std::isnan(value)   ? (std::signbit(value) ? "-nan" : "nan")
                       : std::isinf(value) ? (value < 0 ? "-inf" : "inf")
                                           : "overflow";
    for (size_t i = 0; word[i] != '\0'; ++i)
        out.text[i] = word[i];
    return out;
}

} // namespace mv
