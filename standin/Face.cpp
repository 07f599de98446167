#include "Face.h"

#include "Identity.h"
#include "Module.h"

namespace standin {

namespace {

constexpr wchar_t ClassName[] = L"TalvoVbFunzioniStandIn";

SRWLOCK g_classLock = SRWLOCK_INIT;
ATOM g_class = 0;

LRESULT CALLBACK FaceProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_ERASEBKGND:
            return 1;  // WM_PAINT fills every pixel
        case WM_PAINT: {
            PAINTSTRUCT ps;
            if (HDC dc = BeginPaint(window, &ps)) {
                RECT client;
                GetClientRect(window, &client);
                PaintFace(dc, client);
                EndPaint(window, &ps);
            }
            return 0;
        }
        case WM_PRINTCLIENT: {
            RECT client;
            GetClientRect(window, &client);
            PaintFace(reinterpret_cast<HDC>(wParam), client);
            return 0;
        }
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

bool EnsureClass() noexcept {
    const ExclusiveLock lock(g_classLock);
    if (g_class == 0) {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof(wc);
        wc.lpfnWndProc = FaceProc;
        wc.hInstance = ModuleHandle();
        wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        wc.lpszClassName = ClassName;
        g_class = RegisterClassExW(&wc);
    }
    return g_class != 0;
}

}  // namespace

void PaintFace(HDC dc, const RECT& bounds) noexcept {
    FillRect(dc, &bounds, GetSysColorBrush(COLOR_BTNFACE));
    FrameRect(dc, &bounds, GetSysColorBrush(COLOR_BTNSHADOW));
    HGDIOBJ oldFont = SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
    const int oldMode = SetBkMode(dc, TRANSPARENT);
    const COLORREF oldColor = SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
    // Top right: a host may lay its own read-outs over the rest of the area.
    RECT text = bounds;
    InflateRect(&text, -4, -3);
    DrawTextW(dc, FaceText, -1, &text, DT_RIGHT | DT_TOP | DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS);
    SetTextColor(dc, oldColor);
    SetBkMode(dc, oldMode);
    SelectObject(dc, oldFont);
}

HWND CreateFaceWindow(HWND parent, const RECT& rect) noexcept {
    if (!EnsureClass()) return nullptr;
    return CreateWindowExW(0, ClassName, FaceText, WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS, rect.left, rect.top,
                           rect.right - rect.left, rect.bottom - rect.top, parent, nullptr, ModuleHandle(), nullptr);
}

void UnregisterFaceWindowClass() noexcept {
    const ExclusiveLock lock(g_classLock);
    if (g_class != 0 && UnregisterClassW(ClassName, ModuleHandle())) g_class = 0;
}

}  // namespace standin
