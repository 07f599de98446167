#pragma once
// modTask: the process snapshot record and the walk over a snapshot of all processes.
// The ANSI forms of the snapshot functions are used, so the record is declared here rather
// than taken from <tlhelp32.h>, which maps PROCESSENTRY32 to its wide form under UNICODE.
#include <windows.h>

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace modTask {

// TH32CS_SNAPPROCESS, named apart from the SDK macro.
inline constexpr DWORD kSnapProcess = 0x00000002;
inline constexpr size_t kExeFileChars = MAX_PATH;

// The ANSI PROCESSENTRY32 record, named apart from the SDK's macro.
struct ProcessEntry32 {
    DWORD dwSize;
    DWORD cntUsage;
    DWORD th32ProcessID;
    ULONG_PTR th32DefaultHeapID;
    DWORD th32ModuleID;
    DWORD cntThreads;
    DWORD th32ParentProcessID;
    LONG pcPriClassBase;
    DWORD dwFlags;
    CHAR szExeFile[kExeFileChars];
};
static_assert(sizeof(ProcessEntry32) == 296, "the ANSI process record of a 32-bit process");
static_assert(offsetof(ProcessEntry32, szExeFile) == 36);

// The snapshot functions the walk calls. The system's by default; tests put their own in.
struct SnapshotApi {
    // Member names stay clear of the SDK's A/W macros.
    HANDLE(WINAPI* createSnapshot)(DWORD flags, DWORD processId);
    BOOL(WINAPI* first)(HANDLE snapshot, ProcessEntry32* entry);
    BOOL(WINAPI* next)(HANDLE snapshot, ProcessEntry32* entry);
    BOOL(WINAPI* close)(HANDLE handle);
};
const SnapshotApi& SystemSnapshotApi() noexcept;

// The text before the first NUL of the name field, from the system ANSI code page. A field
// with no NUL at all holds no usable name: the empty text.
std::wstring ExeNameFromField(const CHAR (&field)[kExeFileChars]);

// Calls onName with each process's executable name, in snapshot order, the first entry
// included and duplicates kept. Nothing is reported when the snapshot cannot be taken or
// holds no first entry. Names are handed over one by one so that an exception thrown by
// onName ends the walk right there; the snapshot is closed on every way out.
void WalkProcessNames(const std::function<void(const std::wstring& name)>& onName,
                      const SnapshotApi& api = SystemSnapshotApi());

}  // namespace modTask
