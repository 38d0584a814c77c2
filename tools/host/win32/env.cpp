#include <cstdlib>
#include <windows.h>

#include "host/os.h"
#include "host/win32/utf16.h"

namespace mvhost::os {

std::optional<std::string> get_env(const char *name) {
    const std::wstring wide_name = widen(name);
    const DWORD n = GetEnvironmentVariableW(wide_name.c_str(), nullptr, 0);
    if (n == 0) {
        if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
        return std::string();
    }
    std::wstring value(n, L'\0');
    value.resize(GetEnvironmentVariableW(wide_name.c_str(), value.data(), n));
    return narrow(value);
}

void set_env(const char *name, const std::optional<std::string> &value) {
    const std::wstring wide_name = widen(name);
    // A plugin may read the process environment or the C runtime's copy of it:
    // both are updated.
    if (value) {
        const std::wstring wide_value = widen(*value);
        _wputenv_s(wide_name.c_str(), wide_value.c_str());
        SetEnvironmentVariableW(wide_name.c_str(), wide_value.c_str());
    } else {
        _wputenv_s(wide_name.c_str(), L"");
        SetEnvironmentVariableW(wide_name.c_str(), nullptr);
    }
}

} // namespace mvhost::os
