// The built program as a user meets it: its own process, driven by messages from outside.
#include <gtest/gtest.h>

#include "ControlIds.h"
#include "RunningApp.h"
#include "StandInScript.h"
#include "Unique.h"

#include <cwctype>

namespace {

// The vendor's keys in the 32-bit view of HKEY_LOCAL_MACHINE, as an installer would leave them.
class ScopedVendorKey {
public:
    ScopedVendorKey(const std::wstring& product, const std::wstring& installDir) {
        path_ = L"SOFTWARE\\Brevanti\\" + product;
        unique_hkey key;
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, path_.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr);
        RegSetValueExW(key.get(), L"InstallDir", 0, REG_SZ, reinterpret_cast<const BYTE*>(installDir.c_str()),
                       static_cast<DWORD>((installDir.size() + 1) * sizeof(wchar_t)));
    }
    ~ScopedVendorKey() {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, path_.c_str());
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, path_.c_str());
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Brevanti");
    }

private:
    std::wstring path_;
};

TEST(EndToEnd, GetFillsTheReadoutsAndTheCaptionThenTheWindowCloses) {
    auto ip = ScriptAnswers(0x60030001, L"str:192.168.10.20");
    auto status = ScriptAnswers(0x60030005, L"str:Installed");
    auto mac = ScriptAnswers(0x60030002, L"str:00-00-00-00-00-00");
    RunningApp app;
    ASSERT_NE(app.WaitForForm(), nullptr);
    EXPECT_EQ(app.Text(app.Form()), L"Test OCX TALVO");
    EXPECT_EQ(app.Text(IDC_LABEL2), L"Label2");

    ASSERT_TRUE(app.Press(IDC_COMMAND1));
    EXPECT_EQ(app.Text(IDC_LABEL2), L"LocalIP: 192.168.10.20");
    EXPECT_EQ(app.Text(IDC_LABEL3), L"Plr Stato: Installed");
    EXPECT_EQ(app.Text(IDC_LABEL4), L"MAC Address: 00-00-00-00-00-00");
    EXPECT_EQ(app.Text(IDC_LABEL5), L"FullPathClientInstalled: ");
    EXPECT_EQ(app.Text(app.Form()), L"True");

    EXPECT_EQ(app.Close(), std::optional<DWORD>(0));
}

TEST(EndToEnd, GetShowsTheClientFoundThroughTheVendorKeys) {
    ScopedVendorKey pellora(L"Pellora", L"C:\\Programmi\\Pellora\\");
    RunningApp app;
    ASSERT_NE(app.WaitForForm(), nullptr);
    ASSERT_TRUE(app.Press(IDC_COMMAND1));
    EXPECT_EQ(app.Text(IDC_LABEL5), L"FullPathClientInstalled: C:\\Programmi\\Pellora\\Pellora.exe");
    EXPECT_EQ(app.Close(), std::optional<DWORD>(0));
}

TEST(EndToEnd, Command2ListsTheRunningProcessesInUpperCase) {
    RunningApp app;
    ASSERT_NE(app.WaitForForm(), nullptr);
    HWND list = app.Child(IDC_LIST1);
    for (int press = 0; press < 2; ++press) {
        ASSERT_TRUE(app.Press(IDC_COMMAND2));
        const LRESULT count = SendMessageW(list, LB_GETCOUNT, 0, 0);
        ASSERT_GT(count, 0);
        int selves = 0;
        for (LRESULT i = 0; i < count; ++i) {
            const LRESULT length = SendMessageW(list, LB_GETTEXTLEN, i, 0);
            ASSERT_GE(length, 0);
            std::wstring item(static_cast<size_t>(length) + 1, L'\0');
            item.resize(static_cast<size_t>(SendMessageW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(item.data()))));
            for (wchar_t c : item) EXPECT_FALSE(std::iswlower(c)) << testing::PrintToString(item);
            if (item == L"TEST OCX TALVO.EXE") ++selves;
        }
        EXPECT_EQ(selves, 1) << "the program itself, once, after press " << press + 1;
    }
    EXPECT_EQ(app.Close(), std::optional<DWORD>(0));
}

TEST(EndToEnd, AnErrorOfTheControlIsReportedAndEndsTheProgram) {
    auto status = ScriptAnswers(0x60030005, L"error:1234:TALVO_VB6.VbFunzioni:Servizio Pellora fermo");
    RunningApp app;
    ASSERT_NE(app.WaitForForm(), nullptr);
    ASSERT_TRUE(app.PostPress(IDC_COMMAND1));
    HWND box = app.WaitForMessageBox();
    ASSERT_NE(box, nullptr);
    const std::wstring text = MessageBoxText(box);
    EXPECT_NE(text.find(L"1234"), std::wstring::npos) << testing::PrintToString(text);
    EXPECT_NE(text.find(L"Servizio Pellora fermo"), std::wstring::npos);
    EXPECT_NE(text.find(L"TALVO_VB6.VbFunzioni"), std::wstring::npos);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    EXPECT_EQ(app.WaitForExit(), std::optional<DWORD>(1234));
}

}  // namespace
