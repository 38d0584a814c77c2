// Small text helpers of the server: words, ASCII case folding, numbers read
// without the locale, and text made safe for one log line.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace mvserver {

[[nodiscard]] constexpr char ascii_lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}
[[nodiscard]] std::string fold(std::string_view s);

// Splits at runs of spaces and tabs into at most max words; returns how many
// there were (more than max: the rest is not stored).
size_t split_words(std::string_view line, std::string_view *out, size_t max);

// A finite decimal number of the whole word ("-2.5", "1e3", "+4"); no hex,
// inf or nan.
[[nodiscard]] bool parse_number(std::string_view word, double *out);
// A whole non-negative integer word up to max.
[[nodiscard]] bool parse_count(std::string_view word, unsigned long long max, unsigned long long *out);

// Printable ASCII kept, other bytes as \xNN (space and backslash included, so
// that a log value never holds a space), cut after max_len with "...".
[[nodiscard]] std::string sanitize(std::string_view s, size_t max_len = 64);

} // namespace mvserver
