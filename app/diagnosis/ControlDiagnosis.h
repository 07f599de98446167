#pragma once
// Why the control cannot be created, in words a technician can act on. Found by walking the
// registry and the files the way COM would have; nothing is written or registered.
#include <windows.h>

#include <string>
#include <string_view>

#include "NumberedError.h"

// The first broken link between progId and a working in-process server, in plain words with
// the remedy; empty when nothing found explains the failure. Never throws.
std::wstring DiagnoseControlCreation(std::wstring_view progId, HRESULT failure) noexcept;

// What the registry says about the control, for a copyable report; fields empty when unknown.
struct RegisteredControl {
    std::wstring clsid;    // "{...}"
    std::wstring file;     // InprocServer32 as registered (expanded if REG_EXPAND_SZ)
    std::wstring version;  // the file's FileVersion string, else its fixed version a.b.c.d
    std::wstring company;  // its CompanyName
};
// As this 32-bit program sees the registry. Never throws.
RegisteredControl DescribeRegisteredControl(std::wstring_view progId) noexcept;

// What the user is told when the control cannot be created: what failed, why (the diagnosis
// above, when it found something) and the platform's own code and text.
NumberedError CreationError(std::wstring_view progId, HRESULT hr);
// A step after creation that the control refused; the step is named for the user.
NumberedError StepError(std::wstring_view progId, const wchar_t* step, HRESULT hr);
// The object created is no ActiveX control (it has no IOleObject).
NumberedError NotAControlError(std::wstring_view progId);
