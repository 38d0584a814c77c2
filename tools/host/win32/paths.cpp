#include <cstdio>
#include <random>
#include <windows.h>

#include "host/os.h"
#include "host/win32/utf16.h"

namespace mvhost::os {

std::string make_temp_dir(const std::string &prefix, std::string *error) {
    wchar_t base[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, base);
    if (n == 0 || n > MAX_PATH) {
        if (error != nullptr) *error = "GetTempPathW failed, error " + std::to_string(GetLastError());
        return {};
    }
    // No mkdtemp here: a random name, retried while it is taken.
    std::mt19937_64 rng{std::random_device{}()};
    for (int attempt = 0; attempt < 20; ++attempt) {
        char suffix[17];
        std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(rng()));
        const std::string dir = narrow(base) + prefix + suffix;
        if (CreateDirectoryW(widen(dir).c_str(), nullptr)) return dir;
        if (GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
    if (error != nullptr) *error = "cannot create a directory under " + narrow(base);
    return {};
}

bool replace_file(const std::string &from, const std::string &to, std::string *error) {
    if (MoveFileExW(widen(from).c_str(), widen(to).c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    if (error != nullptr)
        *error = "MoveFileExW " + from + " to " + to + " failed, error " + std::to_string(GetLastError());
    return false;
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

} // namespace mvhost::os
