#include "NumberedError.h"

#include "Text.h"

NumberedError::NumberedError(long number, std::wstring source, std::wstring description)
    : number_(number), source_(std::move(source)), description_(std::move(description)) {
    what_ = "error " + std::to_string(number_) + ": " + ToUtf8(description_);
}

std::wstring SystemMessage(DWORD code) {
    wchar_t* buffer = nullptr;
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text;
    if (length != 0 && buffer != nullptr) text.assign(buffer, length);
    LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) text.pop_back();
    return text;
}

std::wstring GenericErrorDescription() { return L"Application-defined or object-defined error"; }

namespace {

// Texts for the COM failures of creating a control, where the system's message table
// (Wine's, notably) has none.
const wchar_t* KnownComFailure(HRESULT hr) {
    switch (hr) {
        case CO_E_CLASSSTRING:
            return L"Invalid class string";
        case REGDB_E_CLASSNOTREG:
            return L"Class not registered";
        case CO_E_DLLNOTFOUND:
            return L"DLL for class not found";
        case CO_E_ERRORINDLL:
            return L"Error in the DLL";
        case CO_E_NOTINITIALIZED:
            return L"CoInitialize has not been called";
        case CLASS_E_CLASSNOTAVAILABLE:
            return L"ClassFactory cannot supply requested class";
        case E_NOINTERFACE:
            return L"No such interface supported";
        default:
            return nullptr;
    }
}

}  // namespace

NumberedError ErrorFromHresult(HRESULT hr, std::wstring source) {
    long number = hr;
    if (HRESULT_FACILITY(hr) == FACILITY_CONTROL && (hr & 0x80000000) != 0) number = HRESULT_CODE(hr);
    std::wstring description = SystemMessage(static_cast<DWORD>(hr));
    if (description.empty() && KnownComFailure(hr) != nullptr) description = KnownComFailure(hr);
    if (description.empty()) {
        wchar_t hex[32];
        wsprintfW(hex, L"Unexpected error (0x%08X)", static_cast<unsigned>(hr));
        description = hex;
    }
    return NumberedError(number, std::move(source), std::move(description));
}

NumberedError LastError(std::wstring source, DWORD fallback) {
    const DWORD code = GetLastError();
    return ErrorFromHresult(HRESULT_FROM_WIN32(code != ERROR_SUCCESS ? code : fallback), std::move(source));
}

void ThrowLastError(std::wstring source, DWORD fallback) { throw LastError(std::move(source), fallback); }
