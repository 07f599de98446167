// talvo_bench_bare: the start-up benchmark's yardstick, a window of Form1's size with no
// control in it and nothing else to do. It carries the program's resources (manifest, icon,
// version record) and the same window class settings: under Wine a program without them
// starts markedly slower, which would flatter the program.
#include <windows.h>

#include "Form1.h"
#include "FormClass.h"
#include "ScreenDpi.h"

namespace {

constexpr wchar_t kClassName[] = L"TalvoBenchBare";

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
    if (!bench::RegisterFormClass(instance, kClassName, WindowProc)) return 1;

    const int dpi = ScreenDpi();
    constexpr DWORD style = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;
    RECT frame{0, 0, TwipsToPixels(kForm1ClientWidthTwips, dpi), TwipsToPixels(kForm1ClientHeightTwips, dpi)};
    AdjustWindowRectEx(&frame, style, FALSE, 0);
    HWND window =
        CreateWindowExW(0, kClassName, L"Bare window", style, CW_USEDEFAULT, CW_USEDEFAULT, frame.right - frame.left,
                        frame.bottom - frame.top, nullptr, nullptr, instance, nullptr);
    if (!window) return 1;
    ShowWindow(window, show);
    UpdateWindow(window);

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return static_cast<int>(msg.wParam);
}
