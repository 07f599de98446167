#include "Face.h"

#include "CallLog.h"
#include "Identity.h"
#include "Module.h"

namespace standin {

namespace {

constexpr wchar_t kClassName[] = L"TalvoVbFunzioniStandIn";
constexpr int kEditId = 1;

SRWLOCK g_classLock = SRWLOCK_INIT;
ATOM g_class = 0;

LRESULT CALLBACK FaceProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_NCCREATE:
            SetWindowLongPtrW(window, GWLP_USERDATA,
                              reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams));
            return DefWindowProcW(window, message, wParam, lParam);
        case WM_SIZE:
            if (HWND edit = GetDlgItem(window, kEditId)) MoveWindow(edit, 0, 0, LOWORD(lParam), HIWORD(lParam), TRUE);
            return 0;
        case WM_SETFOCUS:
            if (HWND edit = GetDlgItem(window, kEditId)) SetFocus(edit);
            return 0;
        case WM_COMMAND:
            if (LOWORD(wParam) == kEditId && HIWORD(wParam) == EN_SETFOCUS) {
                if (auto* events = reinterpret_cast<FaceEvents*>(GetWindowLongPtrW(window, GWLP_USERDATA)))
                    events->OnEditFocus();
            }
            return 0;
        case WM_DESTROY:
            LogLine("window destroyed");
            return 0;
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
        wc.lpszClassName = kClassName;
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
    DrawTextW(dc, kFaceText, -1, &text, DT_RIGHT | DT_TOP | DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS);
    SetTextColor(dc, oldColor);
    SetBkMode(dc, oldMode);
    SelectObject(dc, oldFont);
}

HWND CreateFaceWindow(HWND parent, const RECT& rect, FaceEvents* events) noexcept {
    if (!EnsureClass()) return nullptr;
    return CreateWindowExW(0, kClassName, kFaceText, WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN,
                           rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top, parent, nullptr,
                           ModuleHandle(), events);
}

HWND AddFaceEdit(HWND face) noexcept {
    RECT client{};
    GetClientRect(face, &client);
    return CreateWindowExW(0, L"EDIT", L"", WS_CHILD | WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL, 0, 0, client.right,
                           client.bottom, face, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kEditId)), ModuleHandle(),
                           nullptr);
}

void UnregisterFaceWindowClass() noexcept {
    const ExclusiveLock lock(g_classLock);
    if (g_class != 0 && UnregisterClassW(kClassName, ModuleHandle())) g_class = 0;
}

}  // namespace standin
