#pragma once
// A file's version record, read through version.dll from the system folder (see
// SystemDll.h); the program does not import it, so no version.dll beside it is ever loaded.
#include <windows.h>

#include <string>
#include <vector>

#include "Unique.h"

class VersionRecord {
public:
    // Empty, with the last error set, when the file has no record or it cannot be read.
    explicit VersionRecord(const wchar_t* path);

    bool empty() const noexcept { return block_.empty(); }
    // A value, named as VerQueryValueW names it ("\\" is the fixed part); null when absent or
    // when what the record says of it reaches outside the record. A string's length is in
    // characters, anything else's in bytes.
    const void* Value(const wchar_t* name, UINT& length) const noexcept;
    // The fixed part, when the record has a whole one.
    const VS_FIXEDFILEINFO* Fixed() const noexcept;

    // A string such as L"CompanyName", trimmed, from the first of the record's own language
    // tables that has it non-empty, then from the usual US English ones; empty when none has.
    std::wstring String(const wchar_t* name) const;
    // The fixed file version as a.b.c.d; empty without a fixed part.
    std::wstring FixedVersion() const;

private:
    unique_hmodule dll_;
    BOOL(WINAPI* query_)(LPCVOID, LPCWSTR, LPVOID*, PUINT) = nullptr;
    std::vector<BYTE> block_;
};
