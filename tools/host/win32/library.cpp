#include <windows.h>

#include "host/os.h"
#include "host/win32/utf16.h"

namespace mvhost::os {

void *library_open(const std::string &path, std::string *error) {
    HMODULE module = LoadLibraryW(widen(path).c_str());
    if (module == nullptr && error != nullptr)
        *error = "LoadLibraryW failed, error " + std::to_string(GetLastError());
    return reinterpret_cast<void *>(module);
}

AnyFn library_symbol(void *handle, const char *name) {
    return reinterpret_cast<AnyFn>(GetProcAddress(static_cast<HMODULE>(handle), name));
}

void library_close(void *handle) {
    FreeLibrary(static_cast<HMODULE>(handle));
}

} // namespace mvhost::os
