// POSIX side of the test support's operating-system seam.
#if !defined(_WIN32)

#include <cstdlib>
#include <cstring>
#include <dlfcn.h>

#include "plugin_library.h"

namespace mvtest::sys {

void *library_open(const std::string &utf8_path, std::string *error) {
    // RTLD_LOCAL keeps each copy's symbols to itself, as the host loads plugins.
    void *handle = dlopen(utf8_path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr && error != nullptr) {
        const char *why = dlerror();
        *error = why != nullptr ? why : "dlopen failed";
    }
    return handle;
}

PluginLibrary::AnyFn library_symbol(void *handle, const char *name) {
    void *address = dlsym(handle, name);
    PluginLibrary::AnyFn fn = nullptr;
    static_assert(sizeof fn == sizeof address);
    std::memcpy(&fn, &address, sizeof fn);
    return fn;
}

void library_close(void *handle) {
    dlclose(handle);
}

std::string build_path(const char *path) {
    return path;
}

std::optional<std::string> get_env(const char *name) {
    const char *value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

void set_env(const char *name, const std::optional<std::string> &value) {
    if (value) {
        setenv(name, value->c_str(), 1);
    } else {
        unsetenv(name);
    }
}

} // namespace mvtest::sys

#endif
