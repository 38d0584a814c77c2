#include "plugin_library.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace fs = std::filesystem;

namespace mvtest {
namespace {

// Paths go through char8_t so that non-ASCII names mean UTF-8 on every
// platform (a plain std::string would be read in the ANSI code page on Windows).
fs::path to_path(std::string_view utf8) {
    return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string from_path(const fs::path &path) {
    const std::u8string u = path.u8string();
    return std::string(u.begin(), u.end());
}

std::string random_suffix() {
    static std::mt19937_64 rng{std::random_device{}()};
    std::ostringstream out;
    out << std::hex << rng();
    return out.str();
}

// The developer's environment must not reach the plugin's settings; a test
// that wants these set uses a ScopedEnv.
[[maybe_unused]] const bool g_environment_cleared = [] {
    sys::set_env("MARLPIKE_VOICE_HOST", std::nullopt);
    sys::set_env("MARLPIKE_VOICE_PORT", std::nullopt);
    return true;
}();

std::string default_library() {
#if defined(MV_PLUGIN_LIBRARY)
    return build_path(MV_PLUGIN_LIBRARY);
#else
    return {};
#endif
}

} // namespace

PluginLibrary::PluginLibrary(const std::string &utf8_path) {
    handle_ = sys::library_open(utf8_path, &error_);
}

PluginLibrary::~PluginLibrary() {
    unload();
}

PluginLibrary::AnyFn PluginLibrary::symbol(const char *name) const {
    return handle_ != nullptr ? sys::library_symbol(handle_, name) : nullptr;
}

void PluginLibrary::unload() {
    if (handle_ != nullptr) sys::library_close(handle_);
    handle_ = nullptr;
}

TempPluginDir::TempPluginDir(bool non_ascii) {
    const std::string source = default_library();
    if (source.empty()) throw std::runtime_error("no plugin library was built into this program");
    const fs::path source_path = to_path(source);
    library_name_ = from_path(source_path.filename());

    std::error_code ec;
    const fs::path base = fs::temp_directory_path(ec);
    if (ec) throw std::runtime_error("no temp directory: " + ec.message());
    fs::path dir;
    for (int attempt = 0;; ++attempt) {
        std::string name = "mv-plugin-" + random_suffix();
        // "плагин" (plugin): exercises paths that are not ASCII.
        if (non_ascii) name += "-\xD0\xBF\xD0\xBB\xD0\xB0\xD0\xB3\xD0\xB8\xD0\xBD";
        dir = base / to_path(name);
        if (fs::create_directory(dir, ec)) break;
        if (attempt == 20)
            throw std::runtime_error("cannot create a temp directory under " + from_path(base));
    }
    dir = fs::absolute(dir).make_preferred();
    dir_ = from_path(dir);

    fs::copy_file(source_path, dir / source_path.filename(), ec);
    if (ec) throw std::runtime_error("cannot copy " + source + " to " + dir_ + ": " + ec.message());
}

TempPluginDir::~TempPluginDir() {
    std::error_code ec;
    // With MV_TEST_LOG_ARCHIVE set, the settings and log files outlive the
    // directory there, so that one check can read the logs of a whole run.
    if (const std::optional<std::string> archive = sys::get_env("MV_TEST_LOG_ARCHIVE");
        archive && !archive->empty()) {
        const fs::path source = to_path(dir_);
        const fs::path target = to_path(build_path(archive->c_str())) / source.filename();
        const fs::path library = to_path(library_name_);
        fs::create_directories(target, ec);
        for (const fs::directory_entry &entry : fs::directory_iterator(source, ec)) {
            if (entry.is_regular_file(ec) && entry.path().filename() != library)
                fs::copy_file(entry.path(), target / entry.path().filename(), ec);
        }
    }
    fs::remove_all(to_path(dir_), ec); // best effort: a library still mapped may refuse to go
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
    : name_(name), saved_(sys::get_env(name)) {
    sys::set_env(name, value);
}

ScopedEnv::~ScopedEnv() {
    sys::set_env(name_.c_str(), saved_);
}

std::string build_path(const char *path) {
    return sys::build_path(path);
}

std::optional<std::string> read_file(const std::string &utf8_path) {
    std::ifstream in(to_path(utf8_path), std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace mvtest
