#if !defined(_WIN32)

#include <dlfcn.h>

#include "session.h"

namespace mvtest {

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
