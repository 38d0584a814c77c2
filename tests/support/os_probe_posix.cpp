#if !defined(_WIN32)

#include <dirent.h>
#include <dlfcn.h>

#include "os_probe.h"

namespace mvtest {
namespace {

// Entries of a /proc directory, less "." and "..".
long count_entries(const char *path) {
    DIR *dir = opendir(path);
    if (dir == nullptr) return -1;
    long n = 0;
    while (const dirent *entry = readdir(dir)) {
        if (entry->d_name[0] != '.') ++n;
    }
    closedir(dir);
    return n;
}

} // namespace

ResourceCounts resource_counts() {
    // Less the listing's own descriptor.
    return {count_entries("/proc/self/fd") - 1, count_entries("/proc/self/task")};
}

bool library_mapped(const std::string &utf8_path) {
    // RTLD_NOLOAD never maps anything; a hit takes a reference, handed back at once.
    void *handle = dlopen(utf8_path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) return false;
    dlclose(handle);
    return true;
}

} // namespace mvtest

#endif
