#pragma once
// Reads string and 32-bit number values under one registry key at a time. Once a key has
// been opened, reading never fails towards the caller: every failure becomes the default.
#include <windows.h>

#include <string>
#include <string_view>

// The registry calls the reader makes. The program uses the real functions; tests put a
// wrapper in between to count handles or change a value between two queries.
struct RegistryApi {
    decltype(&::RegOpenKeyExA) OpenKeyEx = &::RegOpenKeyExA;
    decltype(&::RegQueryValueExA) QueryValueEx = &::RegQueryValueExA;
    decltype(&::RegCloseKey) CloseKey = &::RegCloseKey;
};

class clsRegistry {
public:
    clsRegistry() noexcept = default;
    explicit clsRegistry(const RegistryApi& api) noexcept : api_(api) {}
    clsRegistry(const clsRegistry&) = delete;
    clsRegistry& operator=(const clsRegistry&) = delete;
    ~clsRegistry();

    bool CloseKey();
    long GetLong(std::wstring_view Value, long nDefault);
    std::wstring GetStringValue(std::wstring_view Value, std::wstring_view sDefault);
    // Closes the key held before, then opens KeyName under hKey for reading.
    bool OpenKey(std::wstring_view KeyName, HKEY hKey);

private:
    // Getters before the first successful OpenKey raise error 1777 to their caller.
    void EnsureInitialized() const;

    RegistryApi api_;
    HKEY key_ = nullptr;
    bool initialized_ = false;
};
