// Paths, files and the environment on Windows. Our paths are UTF-8; the wide
// (UTF-16) calls are used throughout so that any file name works whatever the
// system's ANSI code page is.
#include "platform/platform.h"

#include <climits>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <memory>
#include <new>
#include <windows.h>

#include <psapi.h> // after windows.h

namespace mv::platform {

namespace {

const char g_anchor = 0;

// Longest path, in UTF-16 units, that we convert. Our callers keep paths below
// 1024 bytes of UTF-8, which never takes more units than bytes.
constexpr int kWidePathMax = 4096;

bool widen(const char *utf8, wchar_t *out, int cap) {
    return utf8 != nullptr && MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, out, cap) > 0;
}

int clamp_int(size_t n) {
    return n > INT_MAX ? INT_MAX : static_cast<int>(n);
}

} // namespace

char dir_separator() noexcept {
    return '\\';
}

namespace {

// The mapped file's name as it is now, "\\Device\\HarddiskVolume3\\dir\\x.dll",
// turned into a drive path, "C:\\dir\\x.dll", through the drive letters'
// device names. False when no drive holds it (a network path, say).
bool mapped_file_name(HMODULE module, wchar_t *out, DWORD cap) {
    wchar_t device_path[kWidePathMax];
    const DWORD n = GetMappedFileNameW(GetCurrentProcess(), module, device_path, kWidePathMax);
    if (n == 0 || n >= static_cast<DWORD>(kWidePathMax)) return false;
    wchar_t drive[3] = L"A:";
    for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
        drive[0] = letter;
        wchar_t device[kWidePathMax];
        if (QueryDosDeviceW(drive, device, kWidePathMax) == 0) continue;
        const size_t len = wcslen(device);
        if (len == 0 || wcsncmp(device_path, device, len) != 0 || device_path[len] != L'\\') continue;
        const size_t rest = wcslen(device_path + len);
        if (2 + rest + 1 > cap) return false;
        out[0] = letter;
        out[1] = L':';
        wmemcpy(out + 2, device_path + len, rest + 1);
        return true;
    }
    return false;
}

// Whether the file at path is the one this module was loaded from: its PE
// file header (link time stamp included) and section table are the mapped
// image's (the loader may rewrite the image base in memory, never these).
bool holds_this_module(const wchar_t *path, HMODULE module) {
    const auto *image = reinterpret_cast<const unsigned char *>(module);
    const auto at = static_cast<size_t>(reinterpret_cast<const IMAGE_DOS_HEADER *>(image)->e_lfanew) + 4;
    const auto *header = reinterpret_cast<const IMAGE_FILE_HEADER *>(image + at);
    const size_t length = sizeof(IMAGE_FILE_HEADER) + header->SizeOfOptionalHeader +
                          size_t{header->NumberOfSections} * sizeof(IMAGE_SECTION_HEADER);
    unsigned char file[4096];
    if (at + length > sizeof file) return false;
    const HANDLE h = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD got = 0;
    const bool read = ReadFile(h, file, static_cast<DWORD>(at + length), &got, nullptr) && got == at + length;
    CloseHandle(h);
    const size_t optional_at = at + sizeof(IMAGE_FILE_HEADER),
                 sections_at = optional_at + header->SizeOfOptionalHeader;
    return read && std::memcmp(file + at, image + at, sizeof(IMAGE_FILE_HEADER)) == 0 &&
           std::memcmp(file + sections_at, image + sections_at, length - (sections_at - at)) == 0;
}

// Where the client's "Install plugin..." moves a plugin: the user plugin
// folder, %APPDATA%\Mumble\Mumble\Plugins, under the file's own name.
bool in_user_plugin_folder(const wchar_t *loaded_name, wchar_t *out, DWORD cap) {
    const DWORD n = GetEnvironmentVariableW(L"APPDATA", out, cap);
    const wchar_t *file = wcsrchr(loaded_name, L'\\');
    if (n == 0 || n >= cap || file == nullptr) return false;
    static constexpr wchar_t kPlugins[] = L"\\Mumble\\Mumble\\Plugins";
    const size_t more = wcslen(kPlugins) + wcslen(file);
    if (n + more + 1 > cap) return false;
    wcscat(out, kPlugins);
    wcscat(out, file);
    return true;
}

} // namespace

// The file as it is named now, not as it was loaded: a host may rename the
// library while it is loaded and load it again by the new name, and the
// loader then hands back the module it has, under the old name
// (GetModuleFileNameW). The mapping's own name follows the rename on Windows;
// under Wine it does not (nor does any name Wine keeps), so a module whose
// loaded name no longer holds it looks where the client moves plugins to.
bool module_path(char *buf, size_t cap) noexcept {
    if (buf == nullptr || cap == 0) return false;
    buf[0] = '\0';
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&g_anchor), &module))
        return false;
    wchar_t loaded[kWidePathMax], wide[kWidePathMax];
    const DWORD n = GetModuleFileNameW(module, loaded, kWidePathMax);
    if (n == 0 || n >= static_cast<DWORD>(kWidePathMax)) return false; // failed or cut
    const wchar_t *name = loaded;
    if (mapped_file_name(module, wide, kWidePathMax) && holds_this_module(wide, module))
        name = wide;
    else if (!holds_this_module(loaded, module) && in_user_plugin_folder(loaded, wide, kWidePathMax) &&
             holds_this_module(wide, module))
        name = wide;
    // Fails when the UTF-8 form does not fit in cap-1 bytes.
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, name, -1, buf, clamp_int(cap), nullptr, nullptr);
    if (bytes <= 0) {
        buf[0] = '\0';
        return false;
    }
    return true;
}

std::FILE *file_open_regular(const char *utf8_path, FileMode mode, FileOpen *result) noexcept {
    FileOpen dummy;
    FileOpen &why = result != nullptr ? *result : dummy;
    why = FileOpen::failed;
    wchar_t wide_path[kWidePathMax];
    if (!widen(utf8_path, wide_path, kWidePathMax)) return nullptr;
    DWORD access = GENERIC_READ;
    DWORD disposition = OPEN_EXISTING;
    int crt_flags = _O_RDONLY | _O_BINARY;
    const char *fmode = "rb";
    if (mode == FileMode::append) {
        access = FILE_APPEND_DATA;
        disposition = OPEN_ALWAYS;
        crt_flags = _O_WRONLY | _O_APPEND | _O_BINARY;
        fmode = "ab";
    } else if (mode == FileMode::truncate) {
        access = GENERIC_WRITE;
        disposition = CREATE_ALWAYS;
        crt_flags = _O_WRONLY | _O_BINARY;
        fmode = "wb";
    }
    // Without FILE_FLAG_BACKUP_SEMANTICS a directory is refused by the open.
    const HANDLE h = CreateFileW(wide_path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        const DWORD attributes = GetFileAttributesW(wide_path);
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
            why = FileOpen::not_regular;
        else if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            why = FileOpen::missing;
        return nullptr;
    }
    // A pipe or a device (a console, NUL, a serial port) is not a disk file.
    if (GetFileType(h) != FILE_TYPE_DISK) {
        CloseHandle(h);
        why = FileOpen::not_regular;
        return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), crt_flags);
    if (fd < 0) {
        CloseHandle(h);
        return nullptr;
    }
    std::FILE *f = _fdopen(fd, fmode);
    if (f == nullptr) {
        _close(fd);
        return nullptr;
    }
    why = FileOpen::ok;
    return f;
}

bool file_replace(const char *utf8_from, const char *utf8_to) noexcept {
    wchar_t from[kWidePathMax];
    wchar_t to[kWidePathMax];
    if (!widen(utf8_from, from, kWidePathMax) || !widen(utf8_to, to, kWidePathMax)) return false;
    return MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING) != 0;
}

// Reads the process environment block (which SetEnvironmentVariable changes,
// unlike the C runtime's copy behind getenv).
size_t env_read(const char *name, char *buf, size_t cap) noexcept {
    if (cap > 0) buf[0] = '\0';
    wchar_t wide_name[256];
    if (!widen(name, wide_name, 256)) return 0;
    const DWORD need = GetEnvironmentVariableW(wide_name, nullptr, 0); // with the NUL; 0 when unset
    if (need <= 1) return 0;
    std::unique_ptr<wchar_t[]> wide(new (std::nothrow) wchar_t[need]);
    if (!wide) return 0;
    const DWORD len = GetEnvironmentVariableW(wide_name, wide.get(), need);
    if (len == 0 || len >= need) return 0; // changed under us
    const int wlen = static_cast<int>(len);
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide.get(), wlen, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return 0;
    if (cap == 0) return static_cast<size_t>(bytes);
    if (static_cast<size_t>(bytes) < cap) {
        WideCharToMultiByte(CP_UTF8, 0, wide.get(), wlen, buf, bytes, nullptr, nullptr);
        buf[bytes] = '\0';
    } else {
        std::unique_ptr<char[]> whole(new (std::nothrow) char[static_cast<size_t>(bytes)]);
        if (!whole) return 0;
        WideCharToMultiByte(CP_UTF8, 0, wide.get(), wlen, whole.get(), bytes, nullptr, nullptr);
        std::memcpy(buf, whole.get(), cap - 1);
        buf[cap - 1] = '\0';
    }
    return static_cast<size_t>(bytes);
}

} // namespace mv::platform
