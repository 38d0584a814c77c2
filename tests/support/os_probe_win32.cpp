#if defined(_WIN32)

#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include "session.h"

namespace mvtest {
namespace {

long count_threads() {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    const DWORD self = GetCurrentProcessId();
    long n = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == self) ++n;
        entry.dwSize = sizeof entry;
    }
    CloseHandle(snapshot);
    return n;
}

} // namespace

ResourceCounts resource_counts() {
    DWORD handles = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &handles) && handles > 0)
        return {static_cast<long>(handles), count_threads()};
    // Wine's GetProcessHandleCount answers 0. There the process is a Linux one,
    // whose open descriptors (sockets and files among them) are listed at
    // /proc/self/fd, which Wine shows on drive Z:.
    return {count_entries("Z:\\proc\\self\\fd"), count_threads(), 48};
}

bool library_mapped(const std::string &utf8_path) {
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, utf8_path.data(), static_cast<int>(utf8_path.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8_path.data(), static_cast<int>(utf8_path.size()), wide.data(), n);
    return GetModuleHandleW(wide.c_str()) != nullptr; // takes no reference
}

} // namespace mvtest

#endif
