// The plugin's folder as the host's user sees it: a private directory holding
// a copy of the plugin library, its settings file and, once it has run, its
// log file. Also the process environment and paths baked in at build time.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace mvhost {

// A fresh directory under the system's temp directory holding a copy of a
// plugin library; removed with everything in it by the destructor. With
// MV_TEST_LOG_ARCHIVE set, the settings and log files are first copied into a
// directory of that name there, so that one check can read a whole run's logs.
class TempPluginDir {
  public:
    // non_ascii puts a Cyrillic component in the directory's name; subdir
    // ("a/b") puts the plugin's folder that far below the fresh directory.
    explicit TempPluginDir(const std::string &library, bool non_ascii = false, std::string_view subdir = {});
    ~TempPluginDir();
    TempPluginDir(const TempPluginDir &) = delete;
    TempPluginDir &operator=(const TempPluginDir &) = delete;

    // UTF-8 paths with the platform's separator, as the plugin sees them.
    [[nodiscard]] const std::string &dir() const { return dir_; }
    [[nodiscard]] const std::string &root() const { return root_; } // the fresh directory
    [[nodiscard]] std::string path_of(std::string_view file_name) const;
    [[nodiscard]] std::string library_path() const { return path_of(library_name_); }
    [[nodiscard]] std::string ini_path() const { return path_of("marlpike_voice.ini"); }
    [[nodiscard]] std::string log_path() const { return path_of("marlpike_voice.log"); }

    // Writes marlpike_voice.ini with exactly these bytes.
    void write_ini(std::string_view content) const;
    // The log file's bytes, or nullopt when there is none.
    [[nodiscard]] std::optional<std::string> read_log() const;

  private:
    std::string root_;
    std::string dir_;
    std::string library_name_;
};

// Sets (value) or removes (nullopt) an environment variable for the guard's
// lifetime, then restores what was there.
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

// A path baked in at build time in a form this process can open: cross-built
// programs get Linux paths, which Wine reaches through drive Z:.
[[nodiscard]] std::string build_path(const char *path);

// The bytes of a whole file, or nullopt when it cannot be read.
[[nodiscard]] std::optional<std::string> read_file(const std::string &utf8_path);

} // namespace mvhost
