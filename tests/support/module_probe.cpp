#include "module_probe.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace mvtest {

#if defined(_WIN32)

bool library_mapped(const std::string &utf8_path) {
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, utf8_path.data(), static_cast<int>(utf8_path.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8_path.data(), static_cast<int>(utf8_path.size()), wide.data(), n);
    return GetModuleHandleW(wide.c_str()) != nullptr; // takes no reference
}

#else

bool library_mapped(const std::string &utf8_path) {
    // RTLD_NOLOAD never maps anything; a hit takes a reference, handed back at once.
    void *handle = dlopen(utf8_path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) return false;
    dlclose(handle);
    return true;
}

#endif

} // namespace mvtest
