// PelloraStatus from the facts the machine has: HKLM\SOFTWARE\Brevanti\Pellora InstallDir,
// the executable there and a running process of that name. HKLM is overridden for this
// process only, so nothing real is touched.
#include <gtest/gtest.h>

#include <string>

#include "StandInClient.h"
#include "Text.h"

using namespace standin_test;

namespace {

// HKLM redirected to a fresh key under HKCU for the life of the object.
class OverriddenHklm {
public:
    OverriddenHklm() {
        path_ = "Software\\TalvoStandInTests\\" + std::to_string(GetCurrentProcessId());
        RegDeleteTreeA(HKEY_CURRENT_USER, path_.c_str());
        EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, root_.put(),
                                  nullptr),
                  ERROR_SUCCESS);
        EXPECT_EQ(RegOverridePredefKey(HKEY_LOCAL_MACHINE, root_.get()), ERROR_SUCCESS);
    }
    ~OverriddenHklm() {
        RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
        root_.reset();
        RegDeleteTreeA(HKEY_CURRENT_USER, path_.c_str());
        RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\TalvoStandInTests");
    }
    OverriddenHklm(const OverriddenHklm&) = delete;
    OverriddenHklm& operator=(const OverriddenHklm&) = delete;

    // Sets InstallDir to raw bytes of a type, as an installer (or damage) might leave it.
    void SetInstallDir(DWORD type, const std::string& bytes) {
        unique_hkey key;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Brevanti\\Pellora", 0, nullptr, 0, KEY_SET_VALUE,
                                  nullptr, key.put(), nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExA(key.get(), "InstallDir", 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                                 static_cast<DWORD>(bytes.size())),
                  ERROR_SUCCESS);
    }
    void SetInstallDir(const std::string& text) { SetInstallDir(REG_SZ, text + '\0'); }

private:
    std::string path_;
    unique_hkey root_;
};

// A fresh folder under %TEMP%, removed with what it holds.
class TempFolder {
public:
    TempFolder() {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        path_ = std::wstring(temp) + L"pellora-" + std::to_wstring(GetCurrentProcessId());
        EXPECT_TRUE(CreateDirectoryW(path_.c_str(), nullptr));
    }
    ~TempFolder() {
        DeleteFileW(Exe().c_str());
        RemoveDirectoryW(Exe().c_str());
        RemoveDirectoryW(path_.c_str());
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    // As the registry holds it: the system code page.
    std::string Ansi() const { return ToAnsi(path_); }
    std::wstring Exe() const { return path_ + L"\\Pellora.exe"; }

private:
    std::wstring path_;
};

std::wstring Status(IDispatch* control) { return Reply(control, PelloraStatus).Text(); }

}  // namespace

TEST(StandInPellora, StatusFollowsInstallDirTheExecutableAndItsProcess) {
    OleApartment ole;
    const com_ptr<IDispatch> control = CreateStandIn();
    ASSERT_TRUE(control);
    OverriddenHklm hklm;
    TempFolder folder;

    EXPECT_EQ(Status(control.get()), L"Not installed");  // no key at all
    hklm.SetInstallDir(REG_DWORD, std::string("\x01\0\0\0", 4));
    EXPECT_EQ(Status(control.get()), L"Not installed");
    hklm.SetInstallDir("");
    EXPECT_EQ(Status(control.get()), L"Not installed");
    hklm.SetInstallDir(REG_SZ, "");  // no data at all, not even the NUL
    EXPECT_EQ(Status(control.get()), L"Not installed");

    hklm.SetInstallDir(folder.Ansi());
    EXPECT_EQ(Status(control.get()), L"Executable missing");
    ASSERT_TRUE(CreateDirectoryW(folder.Exe().c_str(), nullptr));
    EXPECT_EQ(Status(control.get()), L"Executable missing");  // a folder of that name is not it
    ASSERT_TRUE(RemoveDirectoryW(folder.Exe().c_str()));

    // The real program, so a process can run from it.
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring exe = folder.Exe();
    ASSERT_TRUE(CopyFileW(self, exe.c_str(), FALSE));
    EXPECT_EQ(Status(control.get()), L"Installed");
    hklm.SetInstallDir(folder.Ansi() + "\\");
    EXPECT_EQ(Status(control.get()), L"Installed");
    hklm.SetInstallDir(REG_SZ, folder.Ansi());  // no terminating NUL
    EXPECT_EQ(Status(control.get()), L"Installed");
    hklm.SetInstallDir(REG_SZ, folder.Ansi() + std::string("\0\\elsewhere\0", 12));
    EXPECT_EQ(Status(control.get()), L"Installed");
    SetEnvironmentVariableA("PELLORA_TEST_DIR", folder.Ansi().c_str());
    hklm.SetInstallDir(REG_EXPAND_SZ, std::string("%PELLORA_TEST_DIR%") + '\0');
    EXPECT_EQ(Status(control.get()), L"Installed");
    hklm.SetInstallDir(std::string(200000, 'a'));
    EXPECT_EQ(Status(control.get()), L"Executable missing");

    hklm.SetInstallDir(folder.Ansi());
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    std::wstring commandLine = L"Pellora.exe --gtest_list_tests";
    ASSERT_TRUE(CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                               nullptr, &startup, &process));
    const unique_handle processHandle(process.hProcess);
    const unique_handle threadHandle(process.hThread);
    EXPECT_EQ(Status(control.get()), L"Running");
    TerminateProcess(process.hProcess, 0);
    WaitForSingleObject(process.hProcess, INFINITE);
    EXPECT_EQ(Status(control.get()), L"Installed");
}
