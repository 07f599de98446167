#include "ProcessListCommand.h"

#include <climits>
#include <string>

#include "NumberedError.h"

namespace {

// Room reserved ahead of the fill: a busy machine's process count and a typical name length.
// Only a hint; a longer list grows as usual and a real shortage shows at LB_ADDSTRING.
constexpr WPARAM kReservedItems = 1024;
constexpr LPARAM kReservedBytes = kReservedItems * 32 * sizeof(wchar_t);

// Keeps the list from repainting item by item; the finished list shows in one step, on every
// way out, an error included.
class RedrawSuspended {
public:
    explicit RedrawSuspended(HWND window) noexcept : window_(window) { SendMessageW(window_, WM_SETREDRAW, FALSE, 0); }
    RedrawSuspended(const RedrawSuspended&) = delete;
    RedrawSuspended& operator=(const RedrawSuspended&) = delete;
    ~RedrawSuspended() {
        SendMessageW(window_, WM_SETREDRAW, TRUE, 0);
        InvalidateRect(window_, nullptr, TRUE);
    }

private:
    HWND window_;
};

// The list box's failures as the numbered errors the top level reports: no room is the
// platform's "Out of memory" (7); any other refusal is "Invalid procedure call or argument" (5).
[[noreturn]] void ThrowListError(LRESULT result) {
    if (result == LB_ERRSPACE) throw NumberedError(errnum::OutOfMemory, L"List1", L"Out of memory");
    throw NumberedError(errnum::InvalidProcedureCall, L"List1", L"Invalid procedure call or argument");
}

void AppendItem(HWND list, const std::wstring& text) {
    const LRESULT index = SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
    if (index == LB_ERR || index == LB_ERRSPACE) ThrowListError(index);
}

}  // namespace

std::wstring UpperForList(std::wstring_view name) {
    if (name.empty() || name.size() > INT_MAX) return std::wstring(name);
    const int length = static_cast<int>(name.size());
    // Upper-casing may change the length (it does not for the common cases): ask first.
    const int needed =
        LCMapStringEx(LOCALE_NAME_USER_DEFAULT, LCMAP_UPPERCASE, name.data(), length, nullptr, 0, nullptr, nullptr, 0);
    if (needed > 0) {
        std::wstring upper(static_cast<size_t>(needed), L'\0');
        if (LCMapStringEx(LOCALE_NAME_USER_DEFAULT, LCMAP_UPPERCASE, name.data(), length, upper.data(), needed, nullptr,
                          nullptr, 0) == needed)
            return upper;
    }
    // The locale could not map it: the system's own table, in place.
    std::wstring upper(name);
    CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
    return upper;
}

void ProcessListCommand(HWND list) { ProcessListCommand(list, modTask::SystemSnapshotApi()); }

void ProcessListCommand(HWND list, const modTask::SnapshotApi& api) {
    const RedrawSuspended quiet(list);
    SendMessageW(list, LB_RESETCONTENT, 0, 0);
    SendMessageW(list, LB_INITSTORAGE, kReservedItems, kReservedBytes);
    modTask::WalkProcessNames([list](const std::wstring& name) { AppendItem(list, UpperForList(name)); }, api);
}
