#pragma once
// Broken registrations made for real: keys under HKEY_CLASSES_ROOT in either view, each
// removed with its subtree on the way out, and the broken servers built into
// bin\diag-fixtures beside the test programs.
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "Text.h"
#include "Unique.h"

inline constexpr REGSAM kView32 = KEY_WOW64_32KEY;
inline constexpr REGSAM kView64 = KEY_WOW64_64KEY;

// Whether the registry has a 64-bit view beside this 32-bit process's own.
inline bool TwoViews() {
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

// The running test program's folder, ending in a backslash.
inline std::wstring BinFolder() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder = path;
    return folder.substr(0, folder.find_last_of(L'\\') + 1);
}

inline std::wstring Fixture(const wchar_t* name) { return BinFolder() + L"diag-fixtures\\" + name; }

// A class of this process's own: test programs run side by side.
inline std::wstring ScratchClsid(BYTE last) {
    const GUID guid = {GetCurrentProcessId(), 0x5EED, 0x4D1A, {0x90, 0, 0, 0, 0, 0, 0, last}};
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

// Whether a diagnosis says every one of parts.
inline testing::AssertionResult Says(const std::wstring& text, const std::vector<std::wstring>& parts) {
    for (const std::wstring& part : parts)
        if (text.find(part) == std::wstring::npos)
            return testing::AssertionFailure() << "no \"" << ToUtf8(part) << "\" in: " << ToUtf8(text);
    return testing::AssertionSuccess();
}

class ScratchClasses {
public:
    ScratchClasses() = default;
    ScratchClasses(const ScratchClasses&) = delete;
    ScratchClasses& operator=(const ScratchClasses&) = delete;
    ~ScratchClasses() {
        for (auto it = tops_.rbegin(); it != tops_.rend(); ++it) Remove(it->first, it->second);
    }

    void Set(const std::wstring& path, REGSAM view, const wchar_t* name, const std::wstring& text,
             DWORD type = REG_SZ) {
        const bool grouped = path.starts_with(L"CLSID\\") || path.starts_with(L"AppID\\");
        const std::wstring top = path.substr(0, path.find(L'\\', grouped ? path.find(L'\\') + 1 : 0));
        if (std::find(tops_.begin(), tops_.end(), std::pair{top, view}) == tops_.end()) {
            Remove(top, view);  // what an earlier run may have left
            tops_.emplace_back(top, view);
        }
        unique_hkey key;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr,
                                  key.put(), nullptr),
                  ERROR_SUCCESS);
        const auto bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
        ASSERT_EQ(RegSetValueExW(key.get(), name, 0, type, reinterpret_cast<const BYTE*>(text.c_str()), bytes),
                  ERROR_SUCCESS);
    }

    // clsid -> InprocServer32 = file, in one view.
    void InprocServer(const std::wstring& clsid, const std::wstring& file, REGSAM view = kView32, DWORD type = REG_SZ) {
        Set(L"CLSID\\" + clsid + L"\\InprocServer32", view, nullptr, file, type);
        Set(L"CLSID\\" + clsid + L"\\InprocServer32", view, L"ThreadingModel", L"Apartment");
    }

    // progId -> clsid -> InprocServer32 = file, in the 32-bit view.
    void Server(const std::wstring& progId, const std::wstring& clsid, const std::wstring& file, DWORD type = REG_SZ) {
        Set(progId + L"\\CLSID", kView32, nullptr, clsid);
        InprocServer(clsid, file, kView32, type);
    }

private:
    static void Remove(const std::wstring& top, REGSAM view) {
        if (unique_hkey key;
            RegOpenKeyExW(HKEY_CLASSES_ROOT, top.c_str(), 0, KEY_ALL_ACCESS | view, key.put()) == ERROR_SUCCESS)
            RegDeleteTreeW(key.get(), nullptr);
        RegDeleteKeyExW(HKEY_CLASSES_ROOT, top.c_str(), view, 0);
    }
    std::vector<std::pair<std::wstring, REGSAM>> tops_;
};
