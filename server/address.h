// An IP address as 16 bytes: IPv4 as its v4-mapped IPv6 form, so that a
// player bound to 127.0.0.2 matches a link that a dual-stack listener sees
// as ::ffff:127.0.0.2.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace mvserver {

struct Address {
    std::array<uint8_t, 16> bytes{};
    friend bool operator==(const Address &, const Address &) = default;
};

// An IPv4 or IPv6 literal; nothing for anything else (names included).
[[nodiscard]] std::optional<Address> parse_address(std::string_view text);
// From the 4 or 16 bytes a socket reports.
[[nodiscard]] Address address_from_v4(const std::array<uint8_t, 4> &v4);
[[nodiscard]] Address address_from_v6(const std::array<uint8_t, 16> &v6);
// "127.0.0.2" for a v4-mapped address, else the IPv6 text.
[[nodiscard]] std::string to_string(const Address &a);

} // namespace mvserver
