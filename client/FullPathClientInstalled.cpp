#include "FullPathClientInstalled.h"

#include <windows.h>

#include <string_view>
#include <utility>

#include "GrowingBuffer.h"
#include "NumberedError.h"
#include "Unique.h"
#include "VersionRecord.h"
#include "clsRegistry.h"

namespace {

constexpr wchar_t kSource[] = L"FullPathClientInstalled";

std::wstring OwnModulePath() {
    if (auto path = ModulePath(nullptr)) return std::move(*path);
    ThrowLastError(kSource, ERROR_MOD_NOT_FOUND);
}

// Read from the running program's own version record every time, not cached.
std::wstring CompanyName() {
    const std::wstring module = OwnModulePath();
    const VersionRecord record(module.c_str());
    if (record.empty()) ThrowLastError(kSource, ERROR_RESOURCE_TYPE_NOT_FOUND);
    std::wstring name = record.String(L"CompanyName");
    if (name.empty()) ThrowLastError(kSource, ERROR_RESOURCE_NAME_NOT_FOUND);
    return name;
}

std::wstring KeyPath(std::wstring_view product) {
    std::wstring path = L"SOFTWARE\\";
    path += CompanyName();
    path += L'\\';
    path += product;
    return path;
}

// Opens the product's key and reads its install directory into dir; false when the key
// does not open.
bool Probe(clsRegistry& registry, std::wstring_view product, std::wstring& dir) {
    dir.clear();
    if (!registry.OpenKey(KeyPath(product), HKEY_LOCAL_MACHINE)) return false;
    dir = registry.GetStringValue(L"InstallDir", L"");
    registry.CloseKey();
    return true;
}

// An ordinary or read-only file at exactly this path. Wildcards would turn the directory
// search into a pattern match, so a path holding them names no file; so does a path the
// platform cannot search (too long, malformed).
bool FileExists(const std::wstring& path) {
    if (path.empty() || path.find_first_of(L"*?<>\"") != std::wstring::npos) return false;
    WIN32_FIND_DATAW data;
    unique_hfind find(FindFirstFileW(path.c_str(), &data));
    if (!find) return false;
    constexpr DWORD kNotNormal = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    return (data.dwFileAttributes & kNotNormal) == 0;
}

}  // namespace

std::wstring FullPathClientInstalled() {
    clsRegistry registry;
    std::wstring dir;

    if (Probe(registry, L"Pellora", dir) && !dir.empty()) return dir + L"Pellora.exe";

    if (Probe(registry, L"Quintell", dir)) {
        if (!dir.empty()) return dir + L"Quintell.exe";
        // The server's directory is trusted here without looking at the disk.
        if (Probe(registry, L"Sarvek", dir) && !dir.empty()) return dir + L"Pellora.exe";
        return {};
    }

    if (Probe(registry, L"Sarvek", dir) && !dir.empty()) {
        if (std::wstring path = dir + L"Quintell\\Quintell.exe"; FileExists(path)) return path;
        if (std::wstring path = dir + L"Pellora.exe"; FileExists(path)) return path;
    }
    return {};
}
