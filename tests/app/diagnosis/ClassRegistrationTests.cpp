// Where the diagnosis reads a class from: the merged classes root, or the machine's own
// registrations when the program runs elevated, as COM does.
#include <gtest/gtest.h>

#include <string>

#include "ClassRegistration.h"
#include "ScratchClasses.h"
#include "Unique.h"

namespace {

using diagnosis::ClassesRootFor;
using diagnosis::ReadClassesText;

// A ProgID registered for this user only, under HKEY_CURRENT_USER\Software\Classes.
class UserClass {
public:
    UserClass(const std::wstring& progId, const std::wstring& clsid) : path_(L"Software\\Classes\\" + progId) {
        unique_hkey key;
        EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, (path_ + L"\\CLSID").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, key.put(), nullptr),
                  ERROR_SUCCESS);
        const auto bytes = static_cast<DWORD>((clsid.size() + 1) * sizeof(wchar_t));
        RegSetValueExW(key.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(clsid.c_str()), bytes);
    }
    UserClass(const UserClass&) = delete;
    UserClass& operator=(const UserClass&) = delete;
    ~UserClass() { RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str()); }

private:
    std::wstring path_;
};

TEST(ClassRegistration, ElevatedReadsOnlyTheMachinesRegistrationsInTheProgramsView) {
    const std::wstring progId = L"TalvoDiag.Root" + std::to_wstring(GetCurrentProcessId());
    const std::wstring machineClsid = ScratchClsid(0x31), userClsid = ScratchClsid(0x32);
    ScratchClasses classes;
    classes.Set(progId + L"\\CLSID", kView32, nullptr, machineClsid);
    const auto elevated = ClassesRootFor(true);
    EXPECT_EQ(ReadClassesText(elevated, progId + L"\\CLSID", kView32).value_or(L"none"), machineClsid);
    EXPECT_EQ(ReadClassesText(ClassesRootFor(false), progId + L"\\CLSID", kView32).value_or(L"none"), machineClsid);
    if (TwoViews()) {  // the 32-bit program's view of classes, not the 64-bit one
        const std::wstring wideOnly = L"CLSID\\" + ScratchClsid(0x33) + L"\\InprocServer32";
        classes.Set(wideOnly, kView64, nullptr, L"C:\\Vendor\\Wide.ocx");
        EXPECT_FALSE(ReadClassesText(elevated, wideOnly, kView32));
        EXPECT_EQ(ReadClassesText(elevated, wideOnly, kView64).value_or(L"none"), L"C:\\Vendor\\Wide.ocx");
    }

    const std::wstring userOnly = progId + L"U";
    const UserClass user(userOnly, userClsid);
    EXPECT_FALSE(ReadClassesText(elevated, userOnly + L"\\CLSID", kView32));
    // Recorded, not asserted: Wine's HKEY_CLASSES_ROOT may not merge the user's classes.
    testing::Test::RecordProperty("user_class_seen_unelevated",
                                  ReadClassesText(ClassesRootFor(false), userOnly + L"\\CLSID", kView32) ? 1 : 0);
    testing::Test::RecordProperty("runs_elevated", diagnosis::RunsElevated() ? 1 : 0);
}

}  // namespace
