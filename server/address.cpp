#include "address.h"

#include <arpa/inet.h>

#include <cstring>

namespace mvserver {
namespace {

constexpr std::array<uint8_t, 12> kV4Mapped = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

bool is_v4_mapped(const Address &a) {
    return std::memcmp(a.bytes.data(), kV4Mapped.data(), kV4Mapped.size()) == 0;
}

} // namespace

Address address_from_v4(const std::array<uint8_t, 4> &v4) {
    Address a;
    std::memcpy(a.bytes.data(), kV4Mapped.data(), kV4Mapped.size());
    std::memcpy(a.bytes.data() + 12, v4.data(), 4);
    return a;
}

Address address_from_v6(const std::array<uint8_t, 16> &v6) {
    return Address{v6};
}

std::optional<Address> parse_address(std::string_view text) {
    if (text.empty() || text.size() > 64) return std::nullopt;
    const std::string s(text);
    std::array<uint8_t, 4> v4{};
    if (inet_pton(AF_INET, s.c_str(), v4.data()) == 1) return address_from_v4(v4);
    std::array<uint8_t, 16> v6{};
    if (inet_pton(AF_INET6, s.c_str(), v6.data()) == 1) return address_from_v6(v6);
    return std::nullopt;
}

std::string to_string(const Address &a) {
    char buf[INET6_ADDRSTRLEN] = {};
    if (is_v4_mapped(a))
        inet_ntop(AF_INET, a.bytes.data() + 12, buf, sizeof buf);
    else
        inet_ntop(AF_INET6, a.bytes.data(), buf, sizeof buf);
    return buf;
}

} // namespace mvserver
