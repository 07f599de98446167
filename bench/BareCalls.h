#pragma once
// The bare platform calls the program's commands are measured against, shared by the
// in-process benchmarks and the bare /check program.
#include <windows.h>
#include <oaidl.h>

#include <string>

#include "modTask.h"

namespace bench {

// One member of the control, as Get calls it: no arguments, method or property get. True
// when the call succeeded and answered a string, which goes to text.
bool Ask(IDispatch* control, DISPID member, std::wstring& text);

inline std::wstring Ask(IDispatch* control, DISPID member) {
    std::wstring text;
    Ask(control, member, text);
    return text;
}

// The client locator's decisions over the same HKLM keys, with the bare registry and file
// calls. recordPerProbe reads the version record before every key, as the program does
// today; otherwise once.
std::wstring BareLocate(bool recordPerProbe);

// Every running process's name, upper-cased, handed to sink (const wchar_t*), as Command2
// walks them: kernel32's ANSI snapshot functions themselves, as modTask declares them.
// Inline, so that the sink costs a list box fill nothing more than its own calls.
template <typename Sink>
void ForEachUpperCasedProcess(Sink&& sink) {
    const modTask::SnapshotApi& kernel = modTask::SystemSnapshotApi();
    const HANDLE snapshot = kernel.createSnapshot(modTask::kSnapProcess, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return;
    modTask::ProcessEntry32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = kernel.first(snapshot, &entry); more; more = kernel.next(snapshot, &entry)) {
        wchar_t name[MAX_PATH + 1];
        wchar_t upper[MAX_PATH + 1];
        const int length = MultiByteToWideChar(CP_ACP, 0, entry.szExeFile, -1, name, MAX_PATH + 1);
        if (length <= 0) continue;
        if (LCMapStringEx(LOCALE_NAME_USER_DEFAULT, LCMAP_UPPERCASE, name, length, upper, MAX_PATH + 1, nullptr,
                          nullptr, 0) <= 0)
            continue;
        sink(static_cast<const wchar_t*>(upper));
    }
    kernel.close(snapshot);
}

}  // namespace bench
