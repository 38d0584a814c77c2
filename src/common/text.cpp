#include "common/text.h"

#include <cstring>

namespace mv {

size_t copy_text(char *dst, size_t cap, std::string_view src) noexcept {
    if (cap == 0) return 0;
    size_t n = src.size() < cap - 1 ? src.size() : cap - 1;
    if (n > 0) std::memcpy(dst, src.data(), n);
    dst[n] = '\0';
    return n;
}

bool ascii_iequals(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
    return true;
}

bool ascii_iequals(const char *a, const char *b) noexcept {
    for (;; ++a, ++b) {
        if (ascii_lower(*a) != ascii_lower(*b)) return false;
        if (*a == '\0') return true;
    }
}

uint32_t fold_hash(std::string_view s) noexcept {
    uint32_t h = 2166136261u;
    for (char c : s) {
        h ^= static_cast<unsigned char>(ascii_lower(c));
        h *= 16777619u;
    }
    return h;
}

std::string_view trim(std::string_view s) noexcept {
    while (!s.empty() && is_space(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && is_space(s.back()))
        s.remove_suffix(1);
    return s;
}

namespace {

// Where secret next occurs in text from `from` on, letter case aside.
size_t ifind(std::string_view text, std::string_view secret, size_t from) noexcept {
    for (size_t at = from; at < text.size() && text.size() - at >= secret.size(); ++at)
        if (ascii_iequals(text.substr(at, secret.size()), secret)) return at;
    return std::string_view::npos;
}

} // namespace

size_t find_secret(std::string_view text, std::string_view secret, size_t from) noexcept {
    if (secret.empty()) return std::string_view::npos;
    for (size_t at = ifind(text, secret, from); at != std::string_view::npos;
         at = ifind(text, secret, at + 1)) {
        const size_t end = at + secret.size();
        const bool alone =
            (at == 0 || !is_ascii_alnum(text[at - 1])) && (end == text.size() || !is_ascii_alnum(text[end]));
        if (alone || secret.size() > kSecretWordMax) return at;
    }
    return std::string_view::npos;
}

size_t log_safe_copy(char *out, size_t cap, std::string_view text, std::string_view secret,
                     std::string_view mask) noexcept {
    static constexpr char kHex[] = "0123456789abcdef";
    if (cap == 0) return 0;
    size_t len = 0;
    // Appends whole pieces only, so an escape is never cut in half.
    const auto put = [&](std::string_view piece) noexcept {
        if (len + piece.size() >= cap) return false;
        for (char c : piece)
            out[len++] = c;
        return true;
    };
    size_t next_secret = find_secret(text, secret);
    for (size_t i = 0; i < text.size();) {
        bool fits = true;
        if (i == next_secret) {
            fits = put(mask);
            i += secret.size();
            next_secret = find_secret(text, secret, i);
        } else {
            const auto byte = static_cast<unsigned char>(text[i++]);
            if (byte >= 0x20 && byte < 0x7F) {
                fits = put(std::string_view(&text[i - 1], 1));
            } else {
                const char escaped[4] = {'\\', 'x', kHex[byte >> 4], kHex[byte & 0x0F]};
                fits = put(std::string_view(escaped, 4));
            }
        }
        if (!fits) break;
    }
    out[len] = '\0';
    return len;
}

const char *displayed_alias(const char *alias) noexcept {
    static constexpr char kRedacted[] = "<redacted>";
    if (alias == nullptr) return kRedacted;
    if (ascii_lower(alias[0]) != 'v' || ascii_lower(alias[1]) != 'c' || alias[2] != '-') return kRedacted;
    for (const char *p = alias; *p != '\0'; ++p)
        if (!is_ascii_alnum(*p) && *p != '_' && *p != '-') return kRedacted;
    return alias;
}

} // namespace mv
