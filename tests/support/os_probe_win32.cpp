#if defined(_WIN32)

#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <cstdint>

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

// Wine's GetProcessHandleCount answers 0, so the process's handle values are
// tried one by one: Wine hands out the lowest free one, so once a long run of
// values is unused, none above it is in use. (Wine's list of every handle in
// the system can bring its server down when a process exits meanwhile, and a
// count of /proc/self/fd seen through drive Z: is the wineserver's own.)
long count_own_handles() {
    constexpr uintptr_t kStep = 4, kEmptyRun = 1024;
    long n = 0;
    uintptr_t unused = 0;
    for (uintptr_t value = kStep; unused < kEmptyRun; value += kStep) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
            ++n;
            unused = 0;
        } else {
            ++unused;
        }
    }
    return n;
}

} // namespace

ResourceCounts resource_counts() {
    DWORD handles = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &handles) && handles > 0)
        return {static_cast<long>(handles), count_threads()};
    return {count_own_handles(), count_threads(), 3};
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
