// One line of a Linux process's memory map (/proc/self/maps): which file, if
// any, is mapped over an address. The kernel names each file as it is named
// now, so a library renamed while loaded shows its new name there. Pure.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mv::platform {

struct MappedFile {
    char path[4096];
    bool deleted; // the name ended in " (deleted)": no file is there any more
    uint32_t dev_major, dev_minor;
    uint64_t inode;
};

// "start-end perms offset major:minor inode   path", the path being the rest
// of the line (spaces included). True when the line maps a file over address.
bool maps_line_holds(const char *line, uint64_t address, MappedFile &out) noexcept;

// The path without its " (deleted)" mark.
void strip_deleted(MappedFile &file) noexcept;

} // namespace mv::platform
