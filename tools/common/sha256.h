// SHA-256 (FIPS 180-4), small and self-contained, so that the tools check the
// plugin's proofs with code that shares nothing with it and needs no library.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace mvtools {

class Sha256 {
  public:
    static constexpr size_t kBlock = 64;
    using Digest = std::array<unsigned char, 32>;

    Sha256();
    void update(std::string_view bytes);
    // The digest of everything given so far; the object must not be used after.
    [[nodiscard]] Digest finish();

  private:
    void compress(const unsigned char *block);

    std::array<uint32_t, 8> state_;
    std::array<unsigned char, kBlock> buffer_{};
    size_t buffered_ = 0;
    uint64_t length_ = 0; // bytes given so far
};

[[nodiscard]] Sha256::Digest sha256(std::string_view bytes);

} // namespace mvtools
