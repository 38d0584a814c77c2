#include "platform/posix/memory_map.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace mv::platform {

namespace {

constexpr char kDeleted[] = " (deleted)";
constexpr size_t kDeletedLen = sizeof kDeleted - 1;

} // namespace

bool maps_line_holds(const char *line, uint64_t address, MappedFile &out) noexcept {
    uint64_t start = 0, end = 0, inode = 0;
    unsigned major_dev = 0, minor_dev = 0;
    int path_at = 0;
    if (line == nullptr ||
        std::sscanf(line, "%" SCNx64 "-%" SCNx64 " %*s %*s %x:%x %" SCNu64 " %n", &start, &end, &major_dev,
                    &minor_dev, &inode, &path_at) != 5 ||
        address < start || address >= end || line[path_at] != '/')
        return false;
    const char *path = line + path_at;
    const size_t len = std::strcspn(path, "\n");
    if (len >= sizeof out.path) return false;
    std::memcpy(out.path, path, len);
    out.path[len] = '\0';
    out.deleted = len > kDeletedLen && std::strcmp(out.path + len - kDeletedLen, kDeleted) == 0;
    out.dev_major = major_dev;
    out.dev_minor = minor_dev;
    out.inode = inode;
    return true;
}

void strip_deleted(MappedFile &file) noexcept {
    const size_t len = std::strlen(file.path);
    if (file.deleted && len > kDeletedLen) file.path[len - kDeletedLen] = '\0';
    file.deleted = false;
}

} // namespace mv::platform
