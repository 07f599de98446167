#pragma once
// The extender object a VB6 control reads through IOleControlSite::GetExtendedControl: the
// properties its container keeps for it (name, place, visibility) and its parent form.
#include <windows.h>
#include <oaidl.h>

#include <string>

#include "Unique.h"

struct ExtenderFacts {
    std::wstring name;                             // "VbFunzioni1"
    int left = 0, top = 0, width = 0, height = 0;  // twips, from the control table
    HWND host = nullptr;                           // the control's host window: Visible/Enabled read live
    int tabIndex = 0;
    std::wstring tag;       // ""
    HWND form = nullptr;    // Parent.hWnd; Parent.Caption read live
    std::wstring formName;  // "Form1"
};

// IDispatch, by name (case-insensitive) and DISPATCH_PROPERTYGET only: Name, Left, Top, Width,
// Height (VT_R4 twips, as VB's Single), Visible, Enabled, TabStop (VT_BOOL, live from the host),
// TabIndex (VT_I2), Tag (VT_BSTR), Parent (VT_DISPATCH: Name, Caption live, hWnd VT_I4).
// Unknown names: DISP_E_UNKNOWNNAME; unknown DISPIDs and puts: DISP_E_MEMBERNOTFOUND.
// Throws std::bad_alloc.
com_ptr<IDispatch> CreateExtender(ExtenderFacts facts);
