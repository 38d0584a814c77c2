#include <cstring>
#include <dlfcn.h>

#include "host/os.h"

namespace mvhost::os {

void *library_open(const std::string &path, std::string *error) {
    // RTLD_LOCAL keeps each plugin's symbols to itself, as the host loads it.
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr && error != nullptr) {
        const char *why = dlerror();
        *error = why != nullptr ? why : "dlopen failed";
    }
    return handle;
}

AnyFn library_symbol(void *handle, const char *name) {
    void *address = dlsym(handle, name);
    AnyFn fn = nullptr;
    static_assert(sizeof fn == sizeof address);
    std::memcpy(&fn, &address, sizeof fn);
    return fn;
}

void library_close(void *handle) {
    dlclose(handle);
}

} // namespace mvhost::os
