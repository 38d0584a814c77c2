// Windows side of the test support's operating-system seam.
#if defined(_WIN32)

#include <cstdlib>
#include <string>
#include <windows.h>

#include "plugin_library.h"

namespace mvtest::sys {
namespace {

std::wstring widen(const std::string &utf8) {
    if (utf8.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
    return wide;
}

std::string narrow(const std::wstring &wide) {
    if (wide.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string utf8(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), n, nullptr,
                        nullptr);
    return utf8;
}

} // namespace

void *library_open(const std::string &utf8_path, std::string *error) {
    HMODULE module = LoadLibraryW(widen(utf8_path).c_str());
    if (module == nullptr && error != nullptr) {
        *error = "LoadLibraryW failed, error " + std::to_string(GetLastError());
    }
    return reinterpret_cast<void *>(module);
}

PluginLibrary::AnyFn library_symbol(void *handle, const char *name) {
    return reinterpret_cast<PluginLibrary::AnyFn>(GetProcAddress(static_cast<HMODULE>(handle), name));
}

void library_close(void *handle) {
    FreeLibrary(static_cast<HMODULE>(handle));
}

std::string build_path(const char *path) {
    std::string out = path;
    // Under Wine the build tree's Linux paths are on drive Z:.
    if (!out.empty() && out[0] == '/') out = "Z:" + out;
    for (char &c : out) {
        if (c == '/') c = '\\';
    }
    return out;
}

std::optional<std::string> get_env(const char *name) {
    const std::wstring wide_name = widen(name);
    const DWORD n = GetEnvironmentVariableW(wide_name.c_str(), nullptr, 0);
    if (n == 0) {
        if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
        return std::string();
    }
    std::wstring value(n, L'\0');
    const DWORD got = GetEnvironmentVariableW(wide_name.c_str(), value.data(), n);
    value.resize(got);
    return narrow(value);
}

void set_env(const char *name, const std::optional<std::string> &value) {
    const std::wstring wide_name = widen(name);
    // The plugin reads the process environment; the C runtime keeps its own
    // copy, so both are updated.
    if (value) {
        const std::wstring wide_value = widen(*value);
        _wputenv_s(wide_name.c_str(), wide_value.c_str());
        SetEnvironmentVariableW(wide_name.c_str(), wide_value.c_str());
    } else {
        _wputenv_s(wide_name.c_str(), L"");
        SetEnvironmentVariableW(wide_name.c_str(), nullptr);
    }
}

} // namespace mvtest::sys

#endif
