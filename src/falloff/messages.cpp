#include "falloff/messages.h"

#include <cstring>

namespace mv {

namespace {

// Bounded appends into a caller's buffer: the text is cut at cap-1 and always
// terminated, so no field length can overrun the line buffer.
class LineWriter {
  public:
    LineWriter(char *out, size_t cap) noexcept : out_(out), cap_(cap) {
        if (cap_ > 0) out_[0] = '\0';
    }
    LineWriter &put(const char *text) noexcept {
        if (text == nullptr || cap_ == 0) return *this;
        while (*text != '\0' && len_ + 1 < cap_)
            out_[len_++] = *text++;
        out_[len_] = '\0';
        return *this;
    }
    size_t length() const noexcept { return len_; }

  private:
    char *out_;
    size_t cap_;
    size_t len_ = 0;
};

bool starts_with(const char *line, std::string_view prefix) noexcept {
    return std::strncmp(line, prefix.data(), prefix.size()) == 0;
}

} // namespace

size_t format_hello2(char *out, size_t cap, const char *api_key, const char *alias) noexcept {
    return LineWriter(out, cap).put("HELLO2 ").put(api_key).put(" ").put(alias).put("\n").length();
}

size_t format_proof(char *out, size_t cap, const char *proof) noexcept {
    return LineWriter(out, cap).put("PROOF ").put(proof).put("\n").length();
}

bool parse_challenge(const char *line, std::string_view &token) noexcept {
    static constexpr std::string_view kPrefix = "CHALLENGE ";
    if (line == nullptr || !starts_with(line, kPrefix)) return false;
    token = std::string_view(line + kPrefix.size());
    return true;
}

bool is_accept(const char *line) noexcept {
    return line != nullptr && std::strcmp(line, "OK") == 0;
}

bool is_ping(const char *line) noexcept {
    return line != nullptr && std::strcmp(line, "PING") == 0;
}

bool parse_update_line(const char *line, UpdateKind &kind, std::string_view &payload) noexcept {
    if (line == nullptr) return false;
    // The longer keywords first: any other "UPDATE..." line is a plain UPDATE
    // whose payload starts right after the six letters.
    if (starts_with(line, "UPDATE2")) {
        kind = UpdateKind::update2;
        payload = std::string_view(line + 7);
    } else if (starts_with(line, "UPDATE3")) {
        kind = UpdateKind::update3;
        payload = std::string_view(line + 7);
    } else if (starts_with(line, "UPDATE")) {
        kind = UpdateKind::update;
        payload = std::string_view(line + 6);
    } else {
        return false;
    }
    return true;
}

} // namespace mv
