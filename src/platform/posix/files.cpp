// Paths, files and the environment on POSIX: UTF-8 is the native encoding, so
// paths go to the system unchanged.
#include "platform/platform.h"

#include "platform/posix/memory_map.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace mv::platform {

namespace {

const char g_anchor = 0;

// Copies src into buf when it fits in cap-1 bytes.
bool copy_whole(char *buf, size_t cap, const char *src) {
    const size_t len = std::strlen(src);
    if (len >= cap) return false;
    std::memcpy(buf, src, len + 1);
    return true;
}

} // namespace

char dir_separator() noexcept {
    return '/';
}

namespace {

// The file whose mapping holds an address, as /proc/self/maps names it now.
bool find_mapping(const void *address, MappedFile &out) noexcept {
    std::FILE *maps = std::fopen("/proc/self/maps", "re");
    if (maps == nullptr) return false;
    char line[sizeof out.path + 128];
    bool found = false;
    while (!found && std::fgets(line, sizeof line, maps) != nullptr)
        found = maps_line_holds(line, reinterpret_cast<uintptr_t>(address), out);
    std::fclose(maps);
    return found;
}

bool is_file(const char *path, const MappedFile &mapping) noexcept {
    struct stat st {};
    return stat(path, &st) == 0 && st.st_dev == makedev(mapping.dev_major, mapping.dev_minor) &&
           st.st_ino == mapping.inode;
}

// The name the loader recorded when it loaded us (dladdr), made absolute.
bool loader_name(char *buf, size_t cap) noexcept {
    Dl_info info{};
    link_map *map = nullptr;
    if (dladdr1(&g_anchor, &info, reinterpret_cast<void **>(&map), RTLD_DL_LINKMAP) == 0 || map == nullptr ||
        map->l_name == nullptr)
        return false;
    const char *name = map->l_name;
    if (name[0] == '\0') {
        // Linked into the main program, whose link map carries no name.
        const ssize_t n = readlink("/proc/self/exe", buf, cap);
        if (n <= 0 || static_cast<size_t>(n) >= cap) return false;
        buf[n] = '\0';
        return true;
    }
    if (name[0] == '/') return copy_whole(buf, cap, name);
    // Loaded by a relative path: it is relative to the directory the host was in
    // when it loaded us, which we assume it still is.
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) return false;
    if (name[0] == '.' && name[1] == '/') name += 2;
    const int n = std::snprintf(buf, cap, "%s/%s", cwd, name);
    return n >= 0 && static_cast<size_t>(n) < cap;
}

} // namespace

// The file as it is named now, not as it was loaded: a host may rename the
// library while it is loaded and load it again by the new name, and the
// loader then hands back the module it has, under the old name.
bool module_path(char *buf, size_t cap) noexcept {
    if (buf == nullptr || cap == 0) return false;
    buf[0] = '\0';
    MappedFile mapping{};
    const bool mapped = find_mapping(reinterpret_cast<const void *>(&module_path), mapping);
    if (mapped && (!mapping.deleted || is_file(mapping.path, mapping)))
        return copy_whole(buf, cap, mapping.path);
    // Unreadable maps, or the file is gone: the loader's name, if that is
    // still our file (or nothing better is known).
    if (loader_name(buf, cap) && (!mapped || is_file(buf, mapping))) return true;
    buf[0] = '\0';
    if (!mapped) return false;
    // Deleted (replaced by a new file, say): the folder it was in still counts.
    strip_deleted(mapping);
    return copy_whole(buf, cap, mapping.path);
}

std::FILE *file_open_regular(const char *utf8_path, FileMode mode, FileOpen *result) noexcept {
    FileOpen dummy;
    FileOpen &why = result != nullptr ? *result : dummy;
    why = FileOpen::failed;
    if (utf8_path == nullptr) return nullptr;
    // Looked at before opening: opening a FIFO for writing with no reader fails
    // (ENXIO) and would otherwise read as a plain failure.
    struct stat st {};
    if (stat(utf8_path, &st) == 0 && !S_ISREG(st.st_mode)) {
        why = FileOpen::not_regular;
        return nullptr;
    }
    // O_NONBLOCK: should something else be there by the time we open it, the
    // open itself returns at once; fstat below then refuses it.
    int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    const char *fmode = "rb";
    switch (mode) {
    case FileMode::read:
        flags |= O_RDONLY;
        break;
    case FileMode::append:
        flags |= O_WRONLY | O_APPEND | O_CREAT;
        fmode = "ab";
        break;
    case FileMode::truncate:
        flags |= O_WRONLY | O_TRUNC | O_CREAT;
        fmode = "wb";
        break;
    }
    const int fd = open(utf8_path, flags, 0666);
    if (fd < 0) {
        why = errno == ENOENT ? FileOpen::missing : errno == ENXIO ? FileOpen::not_regular : FileOpen::failed;
        return nullptr;
    }
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        why = FileOpen::not_regular;
        return nullptr;
    }
    const int fl = fcntl(fd, F_GETFL);
    if (fl >= 0) (void)fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    std::FILE *f = fdopen(fd, fmode);
    if (f == nullptr) {
        close(fd);
        return nullptr;
    }
    why = FileOpen::ok;
    return f;
}

bool file_replace(const char *utf8_from, const char *utf8_to) noexcept {
    if (utf8_from == nullptr || utf8_to == nullptr) return false;
    return std::rename(utf8_from, utf8_to) == 0;
}

size_t env_read(const char *name, char *buf, size_t cap) noexcept {
    if (cap > 0) buf[0] = '\0';
    const char *value = name != nullptr ? std::getenv(name) : nullptr;
    if (value == nullptr) return 0;
    const size_t len = std::strlen(value);
    if (cap > 0) {
        const size_t n = len < cap ? len : cap - 1;
        std::memcpy(buf, value, n);
        buf[n] = '\0';
    }
    return len;
}

} // namespace mv::platform
