#include "VersionRecord.h"

#include "SystemDll.h"

namespace {
// Far above any real record: a size past it is a damaged file, not a reason to allocate.
constexpr DWORD kMaxRecordBytes = 1024 * 1024;
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
    if (empty() || !query_(block_.data(), name, &value, &length)) return nullptr;
    return value;
}

const VS_FIXEDFILEINFO* VersionRecord::Fixed() const noexcept {
    UINT length = 0;
    const void* fixed = Value(L"\\", length);
    return fixed != nullptr && length >= sizeof(VS_FIXEDFILEINFO) ? static_cast<const VS_FIXEDFILEINFO*>(fixed)
                                                                  : nullptr;
}
