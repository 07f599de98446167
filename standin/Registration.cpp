#include "Registration.h"

#include <olectl.h>

#include <optional>
#include <string>
#include <vector>

#include "Identity.h"
#include "Module.h"
#include "Text.h"
#include "Unique.h"

namespace standin {

namespace {

constexpr REGSAM kView = KEY_WOW64_32KEY;

// One value (or a bare key when there is no data) under HKEY_CLASSES_ROOT.
struct Entry {
    std::string key;
    const char* name;  // nullptr: the key's default value
    std::optional<std::string> data;
};

std::wstring ModulePath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(ModuleHandle(), path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return {};
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

// The module path in the system code page. A path the code page cannot spell is tried in
// its short form; a path that still does not survive the round trip is not registered,
// since COM could never load the DLL from it.
std::optional<std::string> AnsiModulePath() {
    const std::wstring path = ModulePath();
    if (path.empty()) return std::nullopt;
    std::string ansi = ToAnsi(path);
    if (FromAnsi(ansi) == path) return ansi;
    std::wstring shortPath(path.size() + 1, L'\0');
    const DWORD length = GetShortPathNameW(path.c_str(), shortPath.data(), static_cast<DWORD>(shortPath.size()));
    if (length == 0 || length >= shortPath.size()) return std::nullopt;
    shortPath.resize(length);
    ansi = ToAnsi(shortPath);
    if (FromAnsi(ansi) != shortPath) return std::nullopt;
    return ansi;
}

std::vector<Entry> Entries(const std::string& modulePath) {
    const std::string clsid = std::string("CLSID\\") + kClsidText;
    const std::string progId = kProgIdText;
    // Parents come before their children; removal walks the list backwards.
    return {
        {clsid, nullptr, kFriendlyName},
        {clsid + "\\InprocServer32", nullptr, modulePath},
        {clsid + "\\InprocServer32", "ThreadingModel", "Apartment"},
        {clsid + "\\ProgID", nullptr, progId},
        {clsid + "\\Control", nullptr, std::nullopt},
        {clsid + "\\MiscStatus", nullptr, "0"},
        {clsid + "\\MiscStatus\\1", nullptr, std::to_string(kMiscStatusContent)},
        {progId, nullptr, kFriendlyName},
        {progId + "\\CLSID", nullptr, kClsidText},
    };
}

LONG Write(const Entry& entry) {
    unique_hkey key;
    LONG status = RegCreateKeyExA(HKEY_CLASSES_ROOT, entry.key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_SET_VALUE | kView, nullptr, key.put(), nullptr);
    if (status != ERROR_SUCCESS || !entry.data) return status;
    const std::string& data = *entry.data;
    const size_t bytes = data.size() + 1;  // with its NUL
    return RegSetValueExA(key.get(), entry.name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                          static_cast<DWORD>(bytes));
}

// Removes the entry's value, then its key when nothing else is left in it.
LONG Remove(const Entry& entry) {
    unique_hkey key;
    LONG status =
        RegOpenKeyExA(HKEY_CLASSES_ROOT, entry.key.c_str(), 0, KEY_QUERY_VALUE | KEY_SET_VALUE | kView, key.put());
    if (status == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (status != ERROR_SUCCESS) return status;
    if (entry.data) {
        status = RegDeleteValueA(key.get(), entry.name);
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return status;
    }
    DWORD subKeys = 0;
    DWORD values = 0;
    status = RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values, nullptr,
                              nullptr, nullptr, nullptr);
    if (status != ERROR_SUCCESS) return status;
    key.reset();
    if (subKeys != 0 || values != 0) return ERROR_SUCCESS;
    status = RegDeleteKeyExA(HKEY_CLASSES_ROOT, entry.key.c_str(), kView, 0);
    return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
}

HRESULT RemoveAll(const std::vector<Entry>& entries) {
    LONG first = ERROR_SUCCESS;
    // Keep going after a failure: leave as little behind as possible.
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
        const LONG status = Remove(*it);
        if (first == ERROR_SUCCESS) first = status;
    }
    return first == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(first);
}

}  // namespace

HRESULT RegisterServer() {
    const std::optional<std::string> path = AnsiModulePath();
    if (!path) return SELFREG_E_CLASS;
    const std::vector<Entry> entries = Entries(*path);
    for (const Entry& entry : entries) {
        const LONG status = Write(entry);
        if (status != ERROR_SUCCESS) {
            RemoveAll(entries);
            return HRESULT_FROM_WIN32(status);
        }
    }
    return S_OK;
}

HRESULT UnregisterServer() {
    // The module path only fills a value; removal does not compare it.
    return RemoveAll(Entries(std::string()));
}

}  // namespace standin
