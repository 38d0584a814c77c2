// Loading the built plugin library the way the host does, from a private
// directory that also holds its settings file and receives its log file.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace mvtest {

// A shared library loaded by path (dlopen / LoadLibraryW). Unloaded by the
// destructor or by unload().
class PluginLibrary {
  public:
    using AnyFn = void (*)();

    explicit PluginLibrary(const std::string &utf8_path);
    ~PluginLibrary();
    PluginLibrary(const PluginLibrary &) = delete;
    PluginLibrary &operator=(const PluginLibrary &) = delete;

    [[nodiscard]] bool loaded() const { return handle_ != nullptr; }
    [[nodiscard]] const std::string &error() const { return error_; }
    // The export of that name, or null.
    [[nodiscard]] AnyFn symbol(const char *name) const;
    void unload();

  private:
    void *handle_ = nullptr;
    std::string error_;
};

// A fresh directory under the system temp directory holding a copy of the
// built plugin library. Removed with everything in it by the destructor.
class TempPluginDir {
  public:
    // non_ascii puts a Cyrillic component in the directory's name.
    explicit TempPluginDir(bool non_ascii = false);
    ~TempPluginDir();
    TempPluginDir(const TempPluginDir &) = delete;
    TempPluginDir &operator=(const TempPluginDir &) = delete;

    // UTF-8 paths with the platform's separator, as the plugin sees them.
    [[nodiscard]] const std::string &dir() const { return dir_; }
    [[nodiscard]] std::string path_of(std::string_view file_name) const;
    [[nodiscard]] std::string library_path() const { return path_of(library_name_); }
    [[nodiscard]] std::string ini_path() const { return path_of("marlpike_voice.ini"); }
    [[nodiscard]] std::string log_path() const { return path_of("marlpike_voice.log"); }

    // Writes marlpike_voice.ini with exactly these bytes.
    void write_ini(std::string_view content) const;
    // The log file's bytes, or nullopt when there is no log file.
    [[nodiscard]] std::optional<std::string> read_log() const;

  private:
    std::string dir_;
    std::string library_name_;
};

// Sets (value) or removes (nullopt) an environment variable for the lifetime of
// the guard, then restores what was there.
class ScopedEnv {
  public:
    ScopedEnv(const char *name, std::optional<std::string> value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

  private:
    std::string name_;
    std::optional<std::string> saved_;
};

// A path baked in at build time (MV_PLUGIN_LIBRARY, MV_TEST_VECTORS) in a form
// this process can open. Cross-built tests get Linux paths; under Wine they
// are reached through drive Z:.
[[nodiscard]] std::string build_path(const char *path);

// The bytes of a whole file, or nullopt when it cannot be read.
[[nodiscard]] std::optional<std::string> read_file(const std::string &utf8_path);

// Operating-system calls behind the helpers above; one implementation per
// platform (plugin_library_posix.cpp, plugin_library_win32.cpp).
namespace sys {
void *library_open(const std::string &utf8_path, std::string *error);
PluginLibrary::AnyFn library_symbol(void *handle, const char *name);
void library_close(void *handle);
std::string build_path(const char *path);
std::optional<std::string> get_env(const char *name);
void set_env(const char *name, const std::optional<std::string> &value);
} // namespace sys

} // namespace mvtest
