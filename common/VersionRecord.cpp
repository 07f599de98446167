#include "VersionRecord.h"

#include <cwchar>
#include <iterator>

#include "SystemDll.h"

namespace {

// Far above any real record: a size past it is a damaged file, not a reason to allocate.
constexpr DWORD kMaxRecordBytes = 1024 * 1024;
// More tables than any real record lists: the rest of a long list is not looked at.
constexpr size_t kMaxTables = 16;

bool NamesString(const wchar_t* name) {
    constexpr wchar_t kStrings[] = L"\\StringFileInfo\\";
    constexpr size_t kLength = std::size(kStrings) - 1;
    return wcslen(name) > kLength && _wcsnicmp(name, kStrings, kLength) == 0;
}

std::wstring Trimmed(const wchar_t* text, size_t length) {
    size_t first = 0;
    while (first < length && (text[first] == L' ' || text[first] == L'\t')) ++first;
    while (length > first && (text[length - 1] == L' ' || text[length - 1] == L'\t')) --length;
    return std::wstring(text + first, length - first);
}

}  // namespace

VersionRecord::VersionRecord(const wchar_t* path) : dll_(LoadSystemDll(L"version.dll")) {
    using SizeFn = DWORD(WINAPI*)(LPCWSTR, LPDWORD);
    using ReadFn = BOOL(WINAPI*)(LPCWSTR, DWORD, DWORD, LPVOID);
    const auto size = SystemFunction<SizeFn>(dll_, "GetFileVersionInfoSizeW");
    const auto read = SystemFunction<ReadFn>(dll_, "GetFileVersionInfoW");
    query_ = SystemFunction<decltype(query_)>(dll_, "VerQueryValueW");
    if (size == nullptr || read == nullptr || query_ == nullptr) return;
    DWORD ignored = 0;
    const DWORD bytes = size(path, &ignored);
    if (bytes == 0) return;
    if (bytes > kMaxRecordBytes) {
        SetLastError(ERROR_INVALID_DATA);
        return;
    }
    block_.resize(bytes);
    if (!read(path, 0, bytes, block_.data())) block_.clear();
}

const void* VersionRecord::Value(const wchar_t* name, UINT& length) const noexcept {
    length = 0;
    void* value = nullptr;
    UINT said = 0;
    if (empty() || name == nullptr || !query_(block_.data(), name, &value, &said) || value == nullptr) return nullptr;
    // The lengths come from the file: a damaged record may point past its own end.
    const auto* start = static_cast<const BYTE*>(value);
    const BYTE* const end = block_.data() + block_.size();
    if (start < block_.data() || start > end) return nullptr;
    const size_t unit = NamesString(name) ? sizeof(wchar_t) : 1;
    if (said > static_cast<size_t>(end - start) / unit) return nullptr;
    length = said;
    return value;
}

const VS_FIXEDFILEINFO* VersionRecord::Fixed() const noexcept {
    UINT length = 0;
    const void* fixed = Value(L"\\", length);
    return fixed != nullptr && length >= sizeof(VS_FIXEDFILEINFO) ? static_cast<const VS_FIXEDFILEINFO*>(fixed)
                                                                  : nullptr;
}

std::wstring VersionRecord::String(const wchar_t* name) const {
    if (empty()) return {};
    std::vector<std::wstring> tables;
    UINT length = 0;
    if (const void* data = Value(L"\\VarFileInfo\\Translation", length)) {
        const auto* pairs = static_cast<const WORD*>(data);
        for (UINT i = 0; i + 1 < length / sizeof(WORD) && tables.size() < kMaxTables; i += 2) {
            wchar_t table[16];
            wsprintfW(table, L"%04X%04X", pairs[i], pairs[i + 1]);
            tables.emplace_back(table);
        }
    }
    tables.insert(tables.end(), {L"040904B0", L"040904E4", L"04090000"});
    for (const std::wstring& table : tables) {
        const std::wstring query = L"\\StringFileInfo\\" + table + L"\\" + name;
        const auto* data = static_cast<const wchar_t*>(Value(query.c_str(), length));
        if (data == nullptr || length == 0) continue;
        std::wstring value = Trimmed(data, wcsnlen(data, length));
        if (!value.empty()) return value;
    }
    return {};
}

std::wstring VersionRecord::FixedVersion() const {
    const VS_FIXEDFILEINFO* fixed = Fixed();
    if (fixed == nullptr) return {};
    wchar_t version[64];
    wsprintfW(version, L"%u.%u.%u.%u", HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
              HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS));
    return version;
}
