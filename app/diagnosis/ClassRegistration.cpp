#include "ClassRegistration.h"

#include <algorithm>
#include <cwctype>

#include "GrowingBuffer.h"

namespace diagnosis {

namespace {

// Far above any real value: a larger one is a broken registration, not a reason to allocate.
constexpr DWORD kMaxValueBytes = 64 * 1024;

std::wstring Expand(const std::wstring& text) {
    const auto out = FillGrowing<wchar_t>(
        [&](wchar_t* buffer, size_t capacity) -> std::optional<size_t> {
            const DWORD needed = ExpandEnvironmentStringsW(text.c_str(), buffer, static_cast<DWORD>(capacity));
            // Counts the NUL; a buffer that was too small gets the full need back.
            if (needed == 0) return std::nullopt;
            return needed <= capacity ? needed - 1 : needed;
        },
        MAX_PATH, kMaxPathChars);
    return out && !out->empty() ? *out : text;
}

}  // namespace

std::wstring Lower(std::wstring_view text) {
    std::wstring out(text);
    for (wchar_t& c : out) c = static_cast<wchar_t>(std::towlower(c));
    return out;
}

bool EqualNoCase(std::wstring_view a, std::wstring_view b) { return Lower(a) == Lower(b); }

std::wstring Trim(std::wstring_view text) {
    const auto first = text.find_first_not_of(L" \t");
    if (first == std::wstring_view::npos) return {};
    const auto last = text.find_last_not_of(L" \t");
    return std::wstring(text.substr(first, last - first + 1));
}

bool IsFile(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring FolderOf(const std::wstring& path) {
    const auto slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring NameOf(const std::wstring& path) {
    const auto slash = path.find_last_of(L"\\/:");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring Join(const std::wstring& folder, const std::wstring& name) {
    if (folder.empty()) return name;
    return folder.back() == L'\\' || folder.back() == L'/' ? folder + name : folder + L"\\" + name;
}

bool HasTwoRegistryViews() {
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

bool RunsElevated() noexcept {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    const unique_handle owned(token);
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    // TokenIsElevated covers both a full token of a split pair and an administrator without UAC.
    return GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
           elevation.TokenIsElevated != 0;
}

ClassesRoot ClassesRootFor(bool elevated) {
    if (elevated) return {HKEY_LOCAL_MACHINE, L"Software\\Classes\\"};
    return {HKEY_CLASSES_ROOT, L""};
}

ClassesRoot ComClassesRoot() { return ClassesRootFor(RunsElevated()); }

unique_hkey OpenKey(HKEY parent, const std::wstring& path, REGSAM view) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) return {};
    return unique_hkey(key);
}

std::optional<std::wstring> ReadText(HKEY key, const wchar_t* name) {
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD type = 0;
        DWORD bytes = 0;
        if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS) return std::nullopt;
        if ((type != REG_SZ && type != REG_EXPAND_SZ) || bytes > kMaxValueBytes) return std::nullopt;
        std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
        DWORD got = bytes;
        const LONG status = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &got);
        if (status == ERROR_MORE_DATA) continue;  // grew in between
        if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return std::nullopt;
        text.resize(std::min<size_t>(got / sizeof(wchar_t), text.size()));
        text.resize(std::min(text.find(L'\0'), text.size()));
        return type == REG_EXPAND_SZ ? Expand(text) : text;
    }
    return std::nullopt;
}

std::optional<std::wstring> ReadClassesText(const ClassesRoot& root, const std::wstring& path, REGSAM view) {
    const unique_hkey key = OpenKey(root.key, root.prefix + path, view);
    if (!key) return std::nullopt;
    return ReadText(key.get(), nullptr);
}

std::optional<std::wstring> ReadClassesText(const std::wstring& path, REGSAM view) {
    return ReadClassesText(ComClassesRoot(), path, view);
}

std::optional<std::wstring> CanonicalGuid(const std::wstring& text) {
    const std::wstring trimmed = Trim(text);
    GUID guid{};
    if (trimmed.size() != 38 || trimmed.front() != L'{' || FAILED(IIDFromString(trimmed.c_str(), &guid)))
        return std::nullopt;
    wchar_t out[40] = {};
    if (StringFromGUID2(guid, out, 40) == 0) return std::nullopt;
    return std::wstring(out);
}

ClassEntry ReadClass(const std::wstring& clsid, REGSAM view) {
    ClassEntry entry;
    const ClassesRoot root = ComClassesRoot();
    const unique_hkey key = OpenKey(root.key, root.prefix + L"CLSID\\" + clsid, view);
    if (!key) return entry;
    entry.registered = true;
    if (const unique_hkey inproc = OpenKey(key.get(), L"InprocServer32", view)) {
        entry.inproc = Trim(ReadText(inproc.get(), nullptr).value_or(L""));
        entry.threadingModel = Trim(ReadText(inproc.get(), L"ThreadingModel").value_or(L""));
    }
    if (const unique_hkey local = OpenKey(key.get(), L"LocalServer32", view))
        entry.localServer = Trim(ReadText(local.get(), nullptr).value_or(L""));
    if (const unique_hkey handler = OpenKey(key.get(), L"InprocHandler32", view))
        entry.inprocHandler = Trim(ReadText(handler.get(), nullptr).value_or(L""));
    if (const unique_hkey treatAs = OpenKey(key.get(), L"TreatAs", view)) {
        const auto other = CanonicalGuid(ReadText(treatAs.get(), nullptr).value_or(L""));
        if (other && !EqualNoCase(*other, clsid)) entry.treatAs = *other;
    }
    entry.appId = CanonicalGuid(ReadText(key.get(), L"AppID").value_or(L"")).value_or(L"");
    return entry;
}

bool HasDllSurrogate(const std::wstring& appId, REGSAM view) {
    if (appId.empty()) return false;
    const ClassesRoot root = ComClassesRoot();
    const unique_hkey key = OpenKey(root.key, root.prefix + L"AppID\\" + appId, view);
    return key && RegQueryValueExW(key.get(), L"DllSurrogate", nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

std::vector<std::wstring> SearchFolders(const std::wstring& first) {
    std::vector<std::wstring> folders;
    if (!first.empty()) folders.push_back(first);
    folders.push_back(PathFrom([](wchar_t* buffer, DWORD size) {
                          return GetSystemDirectoryW(buffer, size);
                      }).value_or(std::wstring()));
    std::erase_if(folders, [](const std::wstring& folder) { return folder.empty(); });
    return folders;
}

ServerFile ResolveServerFile(const std::wstring& registered) {
    std::wstring name = Trim(registered);
    if (name.size() >= 2 && name.front() == L'"' && name.back() == L'"') name = Trim(name.substr(1, name.size() - 2));
    const std::wstring leaf = NameOf(name);
    if (!leaf.empty() && leaf.back() == L'.')
        name.pop_back();
    else if (leaf.find(L'.') == std::wstring::npos)
        name += L".dll";
    if (name.find_first_of(L"\\/:") == std::wstring::npos) {
        const std::vector<std::wstring> folders = SearchFolders({});
        const auto found = std::find_if(folders.begin(), folders.end(),
                                        [&](const std::wstring& folder) { return IsFile(Join(folder, name)); });
        return found == folders.end() ? ServerFile{name, false, true} : ServerFile{Join(*found, name), true, true};
    }
    ServerFile file;
    file.path = PathFrom([&](wchar_t* buffer, DWORD size) {
                    return GetFullPathNameW(name.c_str(), size, buffer, nullptr);
                }).value_or(name);
    file.exists = IsFile(file.path);
    return file;
}

}  // namespace diagnosis
