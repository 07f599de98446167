#pragma once
// What a VB6 form gives the controls on it at run time: the ambient properties, and the
// reflection of its children's notifications back to the control that owns them.
#include <windows.h>
#include <oaidl.h>

#include <string>

struct AmbientFacts {
    HWND form = nullptr;       // the top-level window
    HFONT font = nullptr;      // the window's font; null: the system's GUI font
    std::wstring displayName;  // "VbFunzioni1"
    int dpi = 0;               // what the font was made for; 0: the screen's
};

// Answers one ambient property (DISPATCH_PROPERTYGET) as a VB6 form at run time does;
// DISP_E_MEMBERNOTFOUND for any other DISPID. Never throws.
HRESULT GetAmbientProperty(DISPID id, const AmbientFacts& facts, VARIANT* result) noexcept;

// In the control's host window procedure: the notifications a control's own child windows
// send their parent go back to the sender as OCM_* messages (OCM__BASE = WM_USER + 0x1C00),
// as a reflecting container does. Only windows inside the host are sent to. Returns true and
// sets result when it reflected.
bool ReflectToControl(HWND host, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) noexcept;
