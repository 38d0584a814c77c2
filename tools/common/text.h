// Text helpers for the tools: whitespace, ASCII case folding, hex.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace mvtools {

[[nodiscard]] constexpr bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
[[nodiscard]] constexpr char ascii_lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

[[nodiscard]] std::string_view trim(std::string_view s);
[[nodiscard]] bool iequals(std::string_view a, std::string_view b);
// Splits at runs of whitespace; no empty words.
[[nodiscard]] std::vector<std::string_view> words(std::string_view s);
[[nodiscard]] bool is_lower_hex(std::string_view s);
[[nodiscard]] std::string to_hex(const unsigned char *bytes, size_t n);
// A strict decimal number (strtod over the whole word, finite).
[[nodiscard]] bool parse_number(std::string_view word, double *out);
// Text with control bytes shown as \xNN, cut to max_len with "..." after it.
[[nodiscard]] std::string printable(std::string_view s, size_t max_len = 120);

} // namespace mvtools
