#include "modTask.h"

#include <cstring>

#include "Text.h"

// kernel32's ANSI exports, declared here with our own record: <tlhelp32.h> is not included,
// since under UNICODE it renames Process32First/Next to their wide forms.
extern "C" {
__declspec(dllimport) HANDLE WINAPI CreateToolhelp32Snapshot(DWORD dwFlags, DWORD th32ProcessID);
__declspec(dllimport) BOOL WINAPI Process32First(HANDLE hSnapshot, modTask::ProcessEntry32* lppe);
__declspec(dllimport) BOOL WINAPI Process32Next(HANDLE hSnapshot, modTask::ProcessEntry32* lppe);
}

namespace modTask {

namespace {

// Owns the snapshot for one walk and closes it through the same table that opened it.
class SnapshotHandle {
public:
    SnapshotHandle(const SnapshotApi& api, HANDLE handle) noexcept : api_(api), handle_(handle) {}
    SnapshotHandle(const SnapshotHandle&) = delete;
    SnapshotHandle& operator=(const SnapshotHandle&) = delete;
    ~SnapshotHandle() {
        if (*this) api_.close(handle_);
    }

    HANDLE get() const noexcept { return handle_; }
    // A null handle is no snapshot either: nothing to walk and nothing to close.
    explicit operator bool() const noexcept {
        // cppcheck-suppress knownConditionTrueFalse ; the platform hands either back
        return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr;
    }

private:
    const SnapshotApi& api_;
    HANDLE handle_;
};

}  // namespace

const SnapshotApi& SystemSnapshotApi() noexcept {
    static const SnapshotApi api{&::CreateToolhelp32Snapshot, &::Process32First, &::Process32Next, &::CloseHandle};
    return api;
}

std::wstring ExeNameFromField(const CHAR (&field)[kExeFileChars]) {
    const void* nul = std::memchr(field, '\0', kExeFileChars);
    if (nul == nullptr) return {};
    const size_t length = static_cast<size_t>(static_cast<const CHAR*>(nul) - field);
    return FromAnsi(std::string_view(field, length));
}

void WalkProcessNames(const std::function<void(const std::wstring& name)>& onName, const SnapshotApi& api) {
    const SnapshotHandle snapshot(api, api.createSnapshot(kSnapProcess, 0));
    if (!snapshot) return;

    // One record for the whole walk; zeroed so a call that fills less leaves no garbage.
    ProcessEntry32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = api.first(snapshot.get(), &entry); more; more = api.next(snapshot.get(), &entry)) {
        onName(ExeNameFromField(entry.szExeFile));
    }
}

}  // namespace modTask
