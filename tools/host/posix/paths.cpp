#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "host/os.h"

namespace mvhost::os {

std::string make_temp_dir(const std::string &prefix, std::string *error) {
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/" + prefix + "XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) {
        if (error != nullptr) *error = "mkdtemp " + pattern + ": " + std::strerror(errno);
        return {};
    }
    return buffer.data();
}

bool replace_file(const std::string &from, const std::string &to, std::string *error) {
    if (std::rename(from.c_str(), to.c_str()) == 0) return true;
    if (error != nullptr) *error = "rename " + from + " to " + to + ": " + std::strerror(errno);
    return false;
}

std::string build_path(const char *path) {
    return path;
}

} // namespace mvhost::os
