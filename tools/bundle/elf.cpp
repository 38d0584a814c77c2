#include "elf.h"

#include <cstdint>
#include <cstring>

namespace mvtools {
namespace {

constexpr uint32_t kSymtab = 2, kDynamic = 6, kVerneed = 0x6ffffffe;
constexpr int64_t kNeeded = 1;

class Bytes {
  public:
    explicit Bytes(std::string_view b) : b_(b) {}
    template <typename T> T get(uint64_t off) const {
        T v{};
        if (off <= b_.size() && b_.size() - off >= sizeof(T)) std::memcpy(&v, b_.data() + off, sizeof(T));
        return v;
    }
    std::string text(uint64_t off) const {
        if (off >= b_.size()) return {};
        const size_t end = b_.find('\0', off);
        return std::string(b_.substr(off, end == std::string_view::npos ? end : end - off));
    }

  private:
    std::string_view b_;
};

struct Section {
    uint32_t name, type, link;
    uint64_t offset, size;
};

} // namespace

bool older_version(std::string_view a, std::string_view b) {
    while (!a.empty() || !b.empty()) {
        unsigned x = 0, y = 0;
        while (!a.empty() && a.front() != '.')
            x = x * 10 + static_cast<unsigned>(a.front() - '0'), a.remove_prefix(1);
        while (!b.empty() && b.front() != '.')
            y = y * 10 + static_cast<unsigned>(b.front() - '0'), b.remove_prefix(1);
        if (x != y) return x < y;
        if (!a.empty()) a.remove_prefix(1);
        if (!b.empty()) b.remove_prefix(1);
    }
    return false;
}

bool read_elf(std::string_view bytes, ElfInfo *out, std::string *error) {
    const Bytes f(bytes);
    if (bytes.substr(0, 4) != "\x7f"
                              "ELF" ||
        f.get<uint8_t>(4) != 2 || f.get<uint8_t>(5) != 1) {
        *error = "not a 64-bit little-endian ELF file";
        return false;
    }
    out->x64 = f.get<uint16_t>(18) == 62; // EM_X86_64
    const auto shoff = f.get<uint64_t>(40);
    const auto shentsize = f.get<uint16_t>(58), shnum = f.get<uint16_t>(60), shstrndx = f.get<uint16_t>(62);
    std::vector<Section> sections;
    for (uint64_t i = 0; i < shnum; ++i) {
        const uint64_t at = shoff + i * shentsize;
        sections.push_back({f.get<uint32_t>(at), f.get<uint32_t>(at + 4), f.get<uint32_t>(at + 40),
                            f.get<uint64_t>(at + 24), f.get<uint64_t>(at + 32)});
    }
    const uint64_t names = shstrndx < sections.size() ? sections[shstrndx].offset : 0;
    for (const Section &s : sections) {
        const uint64_t strings = s.link < sections.size() ? sections[s.link].offset : 0;
        if (s.type == kSymtab || f.text(names + s.name).starts_with(".debug")) out->stripped = false;
        if (s.type == kDynamic) {
            for (uint64_t at = s.offset; at + 16 <= s.offset + s.size; at += 16)
                if (f.get<int64_t>(at) == kNeeded)
                    out->needed.push_back(f.text(strings + f.get<uint64_t>(at + 8)));
        } else if (s.type == kVerneed) {
            // Verneed entries, each with its chain of Vernaux version names.
            for (uint64_t need = s.offset, guard = 0; guard < 1000; ++guard) {
                uint64_t aux = need + f.get<uint32_t>(need + 8);
                for (uint16_t k = 0, n = f.get<uint16_t>(need + 2); k < n && k < 1000; ++k) {
                    const std::string name = f.text(strings + f.get<uint32_t>(aux + 8));
                    if (name.starts_with("GLIBC_") && name.size() > 6 && name[6] >= '0' && name[6] <= '9' &&
                        older_version(out->glibc, name.substr(6)))
                        out->glibc = name.substr(6);
                    const uint32_t next = f.get<uint32_t>(aux + 12);
                    if (next == 0) break;
                    aux += next;
                }
                const uint32_t next = f.get<uint32_t>(need + 12);
                if (next == 0) break;
                need += next;
            }
        }
    }
    return true;
}

} // namespace mvtools
