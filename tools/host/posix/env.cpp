#include <cstdlib>

#include "host/os.h"

namespace mvhost::os {

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

} // namespace mvhost::os
