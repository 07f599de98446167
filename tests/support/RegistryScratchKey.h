#pragma once
// A scratch key under HKEY_CURRENT_USER, unique to this process, removed with everything
// below it. Values are written raw, so tests can store any type and size.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "Unique.h"

class RegistryScratchKey {
public:
    RegistryScratchKey() {
        static int serial = 0;
        name_ =
            L"Software\\TalvoRegistryTest-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++serial);
        RegDeleteTreeW(HKEY_CURRENT_USER, name_.c_str());
        EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, name_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key_.put(),
                                  nullptr),
                  ERROR_SUCCESS);
    }
    RegistryScratchKey(const RegistryScratchKey&) = delete;
    RegistryScratchKey& operator=(const RegistryScratchKey&) = delete;
    ~RegistryScratchKey() {
        key_.reset();
        RegDeleteTreeW(HKEY_CURRENT_USER, name_.c_str());
        RegDeleteKeyW(HKEY_CURRENT_USER, name_.c_str());
    }

    HKEY get() const { return key_.get(); }
    // Path relative to HKEY_CURRENT_USER.
    const std::wstring& name() const { return name_; }

    void Set(std::wstring_view subKey, std::wstring_view value, DWORD type, const void* data, DWORD size) const {
        unique_hkey key;
        ASSERT_EQ(RegCreateKeyExW(key_.get(), std::wstring(subKey).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  key.put(), nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExW(key.get(), std::wstring(value).c_str(), 0, type, static_cast<const BYTE*>(data), size),
                  ERROR_SUCCESS);
    }
    // A string value, stored with its terminating NUL unless told otherwise.
    void SetText(std::wstring_view subKey, std::wstring_view value, std::wstring_view text, DWORD type = REG_SZ,
                 bool withNul = true) const {
        const std::wstring data(text);
        Set(subKey, value, type, data.c_str(), static_cast<DWORD>((data.size() + (withNul ? 1 : 0)) * sizeof(wchar_t)));
    }
    void CreateKey(std::wstring_view subKey) const {
        unique_hkey key;
        ASSERT_EQ(RegCreateKeyExW(key_.get(), std::wstring(subKey).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  key.put(), nullptr),
                  ERROR_SUCCESS);
    }

private:
    std::wstring name_;
    unique_hkey key_;
};
