// Small text helpers shared by every subsystem: bounded copies, ASCII case
// folding that never depends on the locale, and the displayed form of aliases.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace mv {

// Copies src into dst (cap bytes), cut at cap-1 and always terminated.
// Returns the number of bytes copied, without the NUL.
size_t copy_text(char *dst, size_t cap, std::string_view src) noexcept;

[[nodiscard]] constexpr char ascii_lower(char c) noexcept {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
[[nodiscard]] constexpr bool is_space(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
[[nodiscard]] constexpr bool is_ascii_alnum(char c) noexcept {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Equality without regard to ASCII letter case (the comparison of _stricmp).
[[nodiscard]] bool ascii_iequals(std::string_view a, std::string_view b) noexcept;
[[nodiscard]] bool ascii_iequals(const char *a, const char *b) noexcept;

// FNV-1a over the ASCII-folded bytes: equal under ascii_iequals => equal hash.
[[nodiscard]] uint32_t fold_hash(std::string_view s) noexcept;

// Leading and trailing whitespace removed.
[[nodiscard]] std::string_view trim(std::string_view s) noexcept;

// Where the next occurrence of secret that a log must not show starts in text,
// from position `from` on, or npos, in any ASCII letter case (a server may
// fold the case of what it quotes). A secret of kSecretWordMax characters or
// fewer counts only where it stands as a word of its own (no ASCII letter or
// digit touches it): a key as short as "k" must not blank every k of every
// line, yet never shows where a server echoes it. Longer ones count anywhere.
inline constexpr size_t kSecretWordMax = 5;
[[nodiscard]] size_t find_secret(std::string_view text, std::string_view secret, size_t from = 0) noexcept;

// A peer's text made fit for a log line: every occurrence of secret that
// find_secret finds becomes mask, and each byte outside printable ASCII becomes "\xNN",
// so that neither a key nor raw control bytes reach a log. Cut at cap-1 and
// always terminated; returns the length.
size_t log_safe_copy(char *out, size_t cap, std::string_view text, std::string_view secret,
                     std::string_view mask) noexcept;

// The form in which an alias may appear in a log line: unchanged when it starts
// with "VC-" (any case) and holds only ASCII letters, digits, '_' and '-';
// otherwise "<redacted>".
[[nodiscard]] const char *displayed_alias(const char *alias) noexcept;

} // namespace mv
