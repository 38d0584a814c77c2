#include "host/plugin_dir.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>

#include "host/os.h"

namespace fs = std::filesystem;

namespace mvhost {
namespace {

// Paths go through char8_t so that non-ASCII names mean UTF-8 on every
// platform (a plain std::string is read in the ANSI code page on Windows).
fs::path to_path(std::string_view utf8) {
    return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string from_path(const fs::path &path) {
    const std::u8string u = path.u8string();
    return std::string(u.begin(), u.end());
}

// The plugin in a plugin directory reads the settings file written there; the
// developer's own overrides must not reach it. A run that wants them set uses
// a ScopedEnv.
[[maybe_unused]] const bool g_overrides_cleared = [] {
    os::set_env("MARLPIKE_VOICE_HOST", std::nullopt);
    os::set_env("MARLPIKE_VOICE_PORT", std::nullopt);
    return true;
}();

} // namespace

TempPluginDir::TempPluginDir(const std::string &library, bool non_ascii, std::string_view subdir) {
    const fs::path source = to_path(library);
    library_name_ = from_path(source.filename());
    // "плагин" (plugin): paths that are not ASCII.
    const std::string prefix =
        non_ascii ? "mv-plugin-\xD0\xBF\xD0\xBB\xD0\xB0\xD0\xB3\xD0\xB8\xD0\xBD-" : "mv-plugin-";
    std::string error;
    dir_ = os::make_temp_dir(prefix, &error);
    if (dir_.empty()) throw std::runtime_error(error);
    root_ = from_path(fs::absolute(to_path(dir_)).make_preferred());
    dir_ = from_path((to_path(root_) / to_path(subdir)).make_preferred());

    std::error_code ec;
    fs::create_directories(to_path(dir_), ec);
    fs::copy_file(source, to_path(library_path()), ec);
    if (ec) {
        fs::remove_all(to_path(root_), ec);
        throw std::runtime_error("cannot copy " + library + " to " + dir_ + ": " + ec.message());
    }
}

TempPluginDir::~TempPluginDir() {
    std::error_code ec;
    if (const std::optional<std::string> archive = os::get_env("MV_TEST_LOG_ARCHIVE");
        archive && !archive->empty()) {
        const fs::path source = to_path(dir_);
        const fs::path target = to_path(build_path(archive->c_str())) / to_path(root_).filename();
        fs::create_directories(target, ec);
        for (const fs::directory_entry &entry : fs::directory_iterator(source, ec)) {
            if (entry.is_regular_file(ec) && entry.path().filename() != to_path(library_name_))
                fs::copy_file(entry.path(), target / entry.path().filename(), ec);
        }
    }
    fs::remove_all(to_path(root_), ec); // best effort: a library still mapped may refuse to go
}

std::string TempPluginDir::path_of(std::string_view file_name) const {
    return from_path(to_path(dir_) / to_path(file_name));
}

void TempPluginDir::write_ini(std::string_view content) const {
    std::ofstream out(to_path(ini_path()), std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out) throw std::runtime_error("cannot write " + ini_path());
}

std::optional<std::string> TempPluginDir::read_log() const {
    return read_file(log_path());
}

ScopedEnv::ScopedEnv(const char *name, std::optional<std::string> value)
    : name_(name), saved_(os::get_env(name)) {
    os::set_env(name, value);
}

ScopedEnv::~ScopedEnv() {
    os::set_env(name_.c_str(), saved_);
}

std::string build_path(const char *path) {
    return os::build_path(path);
}

std::optional<std::string> read_file(const std::string &utf8_path) {
    std::ifstream in(to_path(utf8_path), std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace mvhost
