// A plugin library opened by path as the host opens it, and its exports found
// by their plain names.
#pragma once

#include <string>
#include <vector>

#include "host/api_types.h"
#include "host/os.h"

namespace mvhost {

using AnyFn = os::AnyFn;

// Closed by the destructor or by close().
class PluginLibrary {
  public:
    explicit PluginLibrary(const std::string &utf8_path);
    ~PluginLibrary();
    PluginLibrary(const PluginLibrary &) = delete;
    PluginLibrary &operator=(const PluginLibrary &) = delete;

    [[nodiscard]] bool loaded() const { return handle_ != nullptr; }
    [[nodiscard]] const std::string &error() const { return error_; }
    // The export of that name, or null.
    [[nodiscard]] AnyFn symbol(const char *name) const;
    void close();

  private:
    void *handle_ = nullptr;
    std::string error_;
};

// Finds the exports in library; names the ones among the 23 that it lacks
// (onServerConnected is optional and never named).
PluginExports resolve_exports(const PluginLibrary &library, std::vector<std::string> *missing);

} // namespace mvhost
