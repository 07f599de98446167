// The locator against the real HKEY_LOCAL_MACHINE of the test prefix. Holds the
// vendor_keys lock: it writes the vendor's keys, and removes them again.
#include <gtest/gtest.h>

#include <string>

#include "FullPathClientInstalled.h"
#include "Unique.h"

namespace {

constexpr wchar_t Vendor[] = L"SOFTWARE\\Brevanti";

void RemoveVendorKeys() {
    for (const REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
        unique_hkey vendor;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, Vendor, 0, KEY_ALL_ACCESS | view, vendor.put()) != ERROR_SUCCESS)
            continue;
        for (const wchar_t* product : {L"Pellora", L"Quintell", L"Sarvek"}) {
            RegDeleteTreeW(vendor.get(), product);
            RegDeleteKeyExW(vendor.get(), product, view, 0);
        }
        vendor.reset();
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, Vendor, view, 0);  // only when nothing else is left in it
    }
}

void SetInstallDir(REGSAM view, const wchar_t* product, const std::wstring& dir) {
    unique_hkey key;
    const std::wstring path = std::wstring(Vendor) + L"\\" + product;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr,
                              key.put(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key.get(), L"InstallDir", 0, REG_SZ, reinterpret_cast<const BYTE*>(dir.c_str()),
                             static_cast<DWORD>((dir.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
}

struct VendorKeysRemoved {
    VendorKeysRemoved() { RemoveVendorKeys(); }
    ~VendorKeysRemoved() { RemoveVendorKeys(); }
};

TEST(FullPathClientInstalledMachine, ReadsOnlyThe32BitView) {
    VendorKeysRemoved cleanup;
    EXPECT_EQ(FullPathClientInstalled(), L"");

    SetInstallDir(KEY_WOW64_64KEY, L"Pellora", L"C:\\P64\\");
    SetInstallDir(KEY_WOW64_64KEY, L"Quintell", L"C:\\Q64\\");
    EXPECT_EQ(FullPathClientInstalled(), L"") << "values of the 64-bit view are not seen";

    SetInstallDir(KEY_WOW64_32KEY, L"Quintell", L"C:\\Q32\\");
    EXPECT_EQ(FullPathClientInstalled(), L"C:\\Q32\\Quintell.exe");
    SetInstallDir(KEY_WOW64_32KEY, L"Pellora", L"C:\\P32\\");
    EXPECT_EQ(FullPathClientInstalled(), L"C:\\P32\\Pellora.exe");
}

}  // namespace
