#if defined(_WIN32)

#include <windows.h>
// After windows.h, which they need.
#include <tlhelp32.h>
#include <winternl.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

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

// Wine's GetProcessHandleCount answers 0, but its list of every handle in the
// system (the extended handle information class) is filled in: the entries of
// this process are counted. (A count of /proc/self/fd seen through drive Z:
// would be the wineserver's descriptors, shared with every Wine process.)
long count_own_handles() {
    struct Entry {
        void *object;
        ULONG_PTR process;
        ULONG_PTR handle;
        ULONG access;
        USHORT back_trace, type;
        ULONG attributes, reserved;
    };
    struct Table {
        ULONG_PTR count, reserved;
        Entry entries[1];
    };
    using Query = NTSTATUS(WINAPI *)(ULONG, void *, ULONG, ULONG *);
    constexpr ULONG kExtendedHandleInformation = 64;
    constexpr NTSTATUS kLengthMismatch = static_cast<NTSTATUS>(0xC0000004L);
    const auto query = reinterpret_cast<Query>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr) return -1;
    std::vector<ULONG_PTR> buf(1 << 14);
    NTSTATUS status;
    while ((status = query(kExtendedHandleInformation, buf.data(),
                           static_cast<ULONG>(buf.size() * sizeof buf[0]), nullptr)) == kLengthMismatch)
        buf.resize(buf.size() * 2);
    if (status != 0) return -1;
    const auto *table = reinterpret_cast<const Table *>(buf.data());
    const ULONG_PTR self = GetCurrentProcessId();
    long n = 0;
    for (ULONG_PTR i = 0; i < table->count; ++i)
        if (table->entries[i].process == self) ++n;
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
