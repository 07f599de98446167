#include "Ambients.h"

#include <olectl.h>

#include "ScreenDpi.h"
#include "VariantAnswer.h"

namespace {

// System colours as OLE_COLOR: the high bit marks a GetSysColor index.
constexpr LONG kButtonFace = static_cast<LONG>(0x80000000u | COLOR_BTNFACE);
constexpr LONG kButtonText = static_cast<LONG>(0x80000000u | COLOR_BTNTEXT);

// The em height in pixels. A positive height is the cell, internal leading included, and 0 is
// the mapper's default: both are measured.
LONG EmPixels(HFONT font, const LOGFONTW& logFont) noexcept {
    if (logFont.lfHeight < 0) return -logFont.lfHeight;
    LONG em = logFont.lfHeight;
    if (HDC screen = GetDC(nullptr)) {
        HGDIOBJ old = SelectObject(screen, font);
        TEXTMETRICW metrics{};
        if (GetTextMetricsW(screen, &metrics)) em = metrics.tmHeight - metrics.tmInternalLeading;
        SelectObject(screen, old);
        ReleaseDC(nullptr, screen);
    }
    return em;
}

// The window's font as the font object VB hands its controls; its size in points, which at
// 96 dpi makes the familiar 8.25 of an 11-pixel font.
HRESULT FontObject(const AmbientFacts& facts, VARIANT* result) noexcept {
    HFONT font = facts.font ? facts.font : static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    LOGFONTW logFont{};
    if (font == nullptr || GetObjectW(font, sizeof(logFont), &logFont) == 0)
        return HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE);
    logFont.lfFaceName[LF_FACESIZE - 1] = L'\0';

    const LONGLONG dpi = facts.dpi > 0 ? facts.dpi : ScreenDpi();
    FONTDESC description{};
    description.cbSizeofstruct = sizeof(description);
    description.lpstrName = logFont.lfFaceName;
    description.cySize.int64 = (static_cast<LONGLONG>(EmPixels(font, logFont)) * 72 * 10000 + dpi / 2) / dpi;
    description.sWeight = static_cast<SHORT>(logFont.lfWeight != 0 ? logFont.lfWeight : FW_NORMAL);
    description.sCharset = logFont.lfCharSet;
    description.fItalic = logFont.lfItalic != 0;
    description.fUnderline = logFont.lfUnderline != 0;
    description.fStrikethrough = logFont.lfStrikeOut != 0;

    IFontDisp* object = nullptr;
    const HRESULT hr = OleCreateFontIndirect(&description, IID_IFontDisp, reinterpret_cast<void**>(&object));
    if (FAILED(hr)) return hr;
    if (object == nullptr) return E_UNEXPECTED;
    result->vt = VT_DISPATCH;
    result->pdispVal = object;
    return S_OK;
}

}  // namespace

HRESULT GetAmbientProperty(DISPID id, const AmbientFacts& facts, VARIANT* result) noexcept {
    if (result == nullptr) return E_POINTER;
    VariantInit(result);
    switch (id) {
        case DISPID_AMBIENT_USERMODE:
            return AnswerBool(true, result);
        case DISPID_AMBIENT_UIDEAD:
        case DISPID_AMBIENT_SHOWGRABHANDLES:
        case DISPID_AMBIENT_SHOWHATCHING:
        case DISPID_AMBIENT_DISPLAYASDEFAULT:
            return AnswerBool(false, result);
        case DISPID_AMBIENT_MESSAGEREFLECT:
            return AnswerBool(true, result);  // the host reflects: ReflectToControl
        case DISPID_AMBIENT_SUPPORTSMNEMONICS:
            return AnswerBool(false, result);  // the site routes no mnemonics
        case DISPID_AMBIENT_BACKCOLOR:
            return AnswerLong(kButtonFace, result);
        case DISPID_AMBIENT_FORECOLOR:
            return AnswerLong(kButtonText, result);
        case DISPID_AMBIENT_FONT:
            return FontObject(facts, result);
        case DISPID_AMBIENT_LOCALEID:
            return AnswerLong(static_cast<LONG>(GetUserDefaultLCID()), result);
        case DISPID_AMBIENT_DISPLAYNAME:
            return AnswerText(facts.displayName, result);
        case DISPID_AMBIENT_TEXTALIGN:
            return AnswerLong(0, result);  // general: text left, numbers right
        case DISPID_AMBIENT_APPEARANCE:
            return AnswerLong(1, result);  // 3D
        case DISPID_AMBIENT_SCALEUNITS:
            return AnswerText(L"Twip", result);
        default:
            return DISP_E_MEMBERNOTFOUND;
    }
}

bool ReflectToControl(HWND host, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) noexcept {
    HWND sender = nullptr;
    switch (message) {
        case WM_COMMAND:  // lParam 0: a menu or an accelerator, nobody's child
        case WM_CTLCOLORMSGBOX:
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORLISTBOX:
        case WM_CTLCOLORBTN:
        case WM_CTLCOLORDLG:
        case WM_CTLCOLORSCROLLBAR:
        case WM_CTLCOLORSTATIC:
        case WM_VKEYTOITEM:
        case WM_CHARTOITEM:
        case WM_HSCROLL:  // lParam 0: the host's own scroll bar
        case WM_VSCROLL:
            sender = reinterpret_cast<HWND>(lParam);
            break;
        case WM_PARENTNOTIFY:
            // The mouse notifications carry a position, not a window.
            if (LOWORD(wParam) == WM_CREATE || LOWORD(wParam) == WM_DESTROY) sender = reinterpret_cast<HWND>(lParam);
            break;
        case WM_NOTIFY:
            if (lParam != 0) sender = reinterpret_cast<const NMHDR*>(lParam)->hwndFrom;
            break;
        case WM_DRAWITEM:  // wParam 0: a menu item
            if (wParam != 0 && lParam != 0) sender = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam)->hwndItem;
            break;
        case WM_MEASUREITEM:  // asked while the item's window is still being made: found by its id
            if (wParam != 0 && lParam != 0)
                sender = GetDlgItem(host, static_cast<int>(reinterpret_cast<const MEASUREITEMSTRUCT*>(lParam)->CtlID));
            break;
        case WM_COMPAREITEM:
            if (lParam != 0) sender = reinterpret_cast<const COMPAREITEMSTRUCT*>(lParam)->hwndItem;
            break;
        case WM_DELETEITEM:
            if (lParam != 0) sender = reinterpret_cast<const DELETEITEMSTRUCT*>(lParam)->hwndItem;
            break;
        default:
            return false;
    }
    // Only into the control's own windows: never back to the host, never out to anyone else.
    if (sender == nullptr || host == nullptr || !IsChild(host, sender)) return false;
    result = SendMessageW(sender, OCM__BASE + message, wParam, lParam);
    return true;
}
