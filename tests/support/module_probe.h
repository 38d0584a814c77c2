// Whether a library is still mapped into this process: after the host has
// unloaded the plugin, a thread of the plugin that is still running holds its
// own reference on the library and keeps it mapped.
#pragma once

#include <string>

namespace mvtest {

[[nodiscard]] bool library_mapped(const std::string &utf8_path);

} // namespace mvtest
