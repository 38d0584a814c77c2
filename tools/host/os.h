// The operating-system calls behind the stand-in, one implementation per
// platform (posix/*.cpp, win32/*.cpp, chosen by CMake). Paths are UTF-8.
#pragma once

#include <optional>
#include <string>

namespace mvhost::os {

using AnyFn = void (*)();

// Opens a library as the host opens a plugin: every symbol bound now, none
// shared with other libraries. Null on failure, with the reason in *error.
void *library_open(const std::string &path, std::string *error);
AnyFn library_symbol(void *handle, const char *name);
void library_close(void *handle);

// Renames a file, replacing whatever file is at `to`; false with the reason
// in *error.
bool replace_file(const std::string &from, const std::string &to, std::string *error);

// Creates a fresh directory under the system's temp directory whose name
// starts with prefix; empty on failure, with the reason in *error.
std::string make_temp_dir(const std::string &prefix, std::string *error);
// A path baked in at build time, in the form this process opens.
std::string build_path(const char *path);

std::optional<std::string> get_env(const char *name);
void set_env(const char *name, const std::optional<std::string> &value);

} // namespace mvhost::os
