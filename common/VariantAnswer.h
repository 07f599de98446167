#pragma once
// Filling in an automation answer: result is an empty VARIANT the caller owns afterwards.
#include <windows.h>
#include <oleauto.h>

#include <string_view>

inline HRESULT AnswerBool(bool value, VARIANT* result) noexcept {
    result->vt = VT_BOOL;
    result->boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

inline HRESULT AnswerLong(LONG value, VARIANT* result) noexcept {
    result->vt = VT_I4;
    result->lVal = value;
    return S_OK;
}

inline HRESULT AnswerText(std::wstring_view text, VARIANT* result) noexcept {
    result->bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (result->bstrVal == nullptr) return E_OUTOFMEMORY;
    result->vt = VT_BSTR;
    return S_OK;
}
