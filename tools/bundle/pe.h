// Reads what the host's loader will see in a Windows DLL: machine, whether it
// is a DLL, the names it exports and the DLLs it imports.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace mvtools {

struct PeInfo {
    bool x64 = false;
    bool dll = false;
    std::vector<std::string> exports;
    std::vector<std::string> imports;
    bool stripped = true; // no symbol table (a build with debug data has one)
};

// False with a reason when the bytes are not a PE image we can read.
bool read_pe(std::string_view bytes, PeInfo *out, std::string *error);
// Imports that are not part of Windows itself (KERNEL32, WS2_32, ADVAPI32,
// the C runtime and the like): the DLL would not load on a player's machine
// without them beside it.
[[nodiscard]] std::vector<std::string> foreign_imports(const PeInfo &info);

} // namespace mvtools
