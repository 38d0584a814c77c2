#include "pe.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "common/text.h"

namespace mvtools {
namespace {

struct Section {
    uint32_t va, size, raw, raw_size;
};

class Image {
  public:
    explicit Image(std::string_view b) : b_(b) {}
    bool u16(size_t off, uint16_t *v) const { return get(off, v); }
    bool u32(size_t off, uint32_t *v) const { return get(off, v); }
    // File offset of a relative virtual address, or npos.
    size_t at(uint32_t rva) const {
        for (const Section &s : sections)
            if (rva >= s.va && rva < s.va + std::max(s.size, s.raw_size)) return rva - s.va + s.raw;
        return std::string_view::npos;
    }
    bool text(uint32_t rva, std::string *out) const {
        const size_t off = at(rva);
        if (off >= b_.size()) return false;
        const size_t end = b_.find('\0', off);
        if (end == std::string_view::npos) return false;
        *out = std::string(b_.substr(off, end - off));
        return true;
    }
    std::vector<Section> sections;

  private:
    template <typename T> bool get(size_t off, T *v) const {
        if (off > b_.size() || b_.size() - off < sizeof(T)) return false;
        std::memcpy(v, b_.data() + off, sizeof(T)); // little-endian host
        return true;
    }
    std::string_view b_;
};

} // namespace

bool read_pe(std::string_view bytes, PeInfo *out, std::string *error) {
    Image img(bytes);
    uint32_t pe = 0, sig = 0;
    if (bytes.substr(0, 2) != "MZ" || !img.u32(0x3c, &pe) || !img.u32(pe, &sig) || sig != 0x00004550) {
        *error = "not a PE image";
        return false;
    }
    uint16_t machine = 0, nsections = 0, opt_size = 0, characteristics = 0, magic = 0;
    img.u16(pe + 4, &machine);
    img.u16(pe + 6, &nsections);
    img.u16(pe + 20, &opt_size);
    img.u16(pe + 22, &characteristics);
    const size_t opt = pe + 24;
    if (!img.u16(opt, &magic) || magic != 0x20b) {
        *error = "not a 64-bit (PE32+) image";
        return false;
    }
    out->x64 = machine == 0x8664;
    out->dll = (characteristics & 0x2000) != 0;
    uint32_t symbols = 0;
    img.u32(pe + 16, &symbols); // entries of the COFF symbol table, which strip removes
    out->stripped = symbols == 0;
    for (size_t i = 0; i < nsections; ++i) {
        const size_t sh = opt + opt_size + 40 * i;
        Section s{};
        if (!img.u32(sh + 8, &s.size) || !img.u32(sh + 12, &s.va) || !img.u32(sh + 16, &s.raw_size) ||
            !img.u32(sh + 20, &s.raw)) {
            *error = "section table cut short";
            return false;
        }
        img.sections.push_back(s);
    }
    // Data directories start 112 bytes into the PE32+ optional header.
    uint32_t export_rva = 0, import_rva = 0;
    img.u32(opt + 112, &export_rva);
    img.u32(opt + 120, &import_rva);
    if (export_rva != 0) {
        const size_t dir = img.at(export_rva);
        uint32_t count = 0, names = 0;
        if (dir == std::string_view::npos || !img.u32(dir + 24, &count) || !img.u32(dir + 32, &names) ||
            img.at(names) == std::string_view::npos) {
            *error = "export directory cut short";
            return false;
        }
        for (uint32_t i = 0; i < count; ++i) {
            uint32_t name_rva = 0;
            std::string name;
            if (!img.u32(img.at(names) + 4 * size_t{i}, &name_rva) || !img.text(name_rva, &name)) {
                *error = "export names cut short";
                return false;
            }
            out->exports.push_back(name);
        }
    }
    if (import_rva != 0) {
        const size_t first = img.at(import_rva);
        for (size_t d = first;; d += 20) {
            uint32_t lookup = 0, name_rva = 0;
            if (first == std::string_view::npos || !img.u32(d, &lookup) || !img.u32(d + 12, &name_rva)) {
                *error = "import directory cut short";
                return false;
            }
            if (lookup == 0 && name_rva == 0) break;
            std::string name;
            if (!img.text(name_rva, &name)) {
                *error = "import name cut short";
                return false;
            }
            out->imports.push_back(name);
        }
    }
    return true;
}

std::vector<std::string> foreign_imports(const PeInfo &info) {
    static const char *const kSystem[] = {"kernel32.dll", "ws2_32.dll", "advapi32.dll", "msvcrt.dll",
                                          "ucrtbase.dll", "user32.dll", "ntdll.dll",    "bcrypt.dll"};
    std::vector<std::string> out;
    for (const std::string &name : info.imports) {
        std::string lower = name;
        for (char &c : lower)
            c = ascii_lower(c);
        bool system = lower.starts_with("api-ms-win-");
        for (const char *s : kSystem)
            system = system || lower == s;
        if (!system) out.push_back(name);
    }
    return out;
}

} // namespace mvtools
