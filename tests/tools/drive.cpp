// Drives a running "Test OCX TALVO" from outside, for the start command's headless mode:
//   talvo-drive get     waits for the window, presses "Get", prints its screen rectangle
//   talvo-drive close   closes the window
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "ControlIds.h"

namespace {

HWND WaitForForm() {
    for (int i = 0; i < 1500; ++i) {
        // Shown only once every control and the hosted control are in place.
        HWND form = FindWindowW(kForm1ClassName, nullptr);
        if (form != nullptr && IsWindowVisible(form)) return form;
        Sleep(20);
    }
    return nullptr;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fwprintf(stderr, L"usage: talvo-drive get|close\n");
        return 2;
    }
    HWND form = WaitForForm();
    if (form == nullptr) {
        std::fwprintf(stderr, L"talvo-drive: the window did not appear\n");
        return 1;
    }
    if (std::wcscmp(argv[1], L"close") == 0) {
        PostMessageW(form, WM_CLOSE, 0, 0);
        return 0;
    }
    DWORD_PTR ignored = 0;
    if (!SendMessageTimeoutW(GetDlgItem(form, IDC_COMMAND1), BM_CLICK, 0, 0, SMTO_NORMAL, 30000, &ignored)) {
        std::fwprintf(stderr, L"talvo-drive: \"Get\" did not answer\n");
        return 1;
    }
    RECT rect{};
    GetWindowRect(form, &rect);
    std::printf("%ld %ld %ld %ld\n", rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top);
    return 0;
}
