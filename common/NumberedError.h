#pragma once
// A numbered error: number, source and description, raised by the code that fails and
// carried up as a C++ exception until the top level reports it. It never crosses a
// window procedure or a COM boundary.
#include <windows.h>

#include <exception>
#include <string>

class NumberedError : public std::exception {
public:
    NumberedError(long number, std::wstring source, std::wstring description);

    long Number() const noexcept { return number_; }
    const std::wstring& Source() const noexcept { return source_; }
    const std::wstring& Description() const noexcept { return description_; }

    const char* what() const noexcept override { return what_.c_str(); }

private:
    long number_;
    std::wstring source_;
    std::wstring description_;
    std::string what_;
};

// The system's text for a Win32 error or HRESULT, without the trailing line break;
// an empty text when the system has none.
std::wstring SystemMessage(DWORD code);

// The generic text the platform gives an error number it does not know.
std::wstring GenericErrorDescription();

// Numbered error for a failed HRESULT that carries no richer information. Errors of the
// control facility (0x800Axxxx) keep their own number, as automation clients show them.
NumberedError ErrorFromHresult(HRESULT hr, std::wstring source);

// Throws ErrorFromHresult when hr failed.
inline void ThrowIfFailed(HRESULT hr, const wchar_t* source) {
    if (FAILED(hr)) throw ErrorFromHresult(hr, source);
}

// The error GetLastError() holds now, as a numbered error; `fallback` stands in when a
// failing call left no code behind.
NumberedError LastError(std::wstring source, DWORD fallback = ERROR_INVALID_HANDLE);
[[noreturn]] void ThrowLastError(std::wstring source, DWORD fallback = ERROR_INVALID_HANDLE);

// Numbers the platform gives the errors it raises itself, and the program's own.
namespace errnum {
inline constexpr long InvalidProcedureCall = 5;
inline constexpr long Overflow = 6;
inline constexpr long OutOfMemory = 7;
inline constexpr long TypeMismatch = 13;
inline constexpr long ObjectNotSet = 91;
inline constexpr long InvalidUseOfNull = 94;
inline constexpr long NoSuchMember = 438;
inline constexpr long RegistryNotInitialized = 1777;
}  // namespace errnum
