// Reads what a player's system must offer a Linux library: the shared
// libraries it names and the newest glibc symbol version it binds to.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace mvtools {

struct ElfInfo {
    bool x64 = false;
    std::vector<std::string> needed; // DT_NEEDED, in order
    std::string glibc;               // e.g. "2.34"; empty when it binds to none
    bool stripped = true;            // no symbol table and no debug sections
};

// False with a reason when the bytes are not a 64-bit little-endian ELF file.
bool read_elf(std::string_view bytes, ElfInfo *out, std::string *error);

// True when version a ("2.17") is older than b ("2.34").
[[nodiscard]] bool older_version(std::string_view a, std::string_view b);

} // namespace mvtools
