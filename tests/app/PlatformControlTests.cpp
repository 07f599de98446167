// The program with the platform's own controls registered under the function control's
// ProgID: each must come up sited and active, and answer Get with the error of a member it
// does not have; an object that is no control must be refused with a reason.
#include <gtest/gtest.h>

#include <cwchar>
#include <optional>
#include <ostream>

#include "ControlIds.h"
#include "ProgIdRedirect.h"
#include "RunningApp.h"

namespace {

constexpr wchar_t kProgId[] = L"TALVO_VB6.VbFunzioni";

// What the program showed instead, and how it ended.
std::wstring Instead(RunningApp& app) {
    std::wstring text = L"<no message box>";
    if (HWND box = app.WaitForMessageBox(2000)) {
        text = MessageBoxText(box);
        PostMessageW(box, WM_COMMAND, IDOK, 0);
    }
    const std::optional<DWORD> code = app.WaitForExit(5000);
    wchar_t ended[32] = L"still running";
    if (code) swprintf_s(ended, L"exit code 0x%08lX", *code);
    return text + L"; " + ended;
}

// The window, or as soon as the program reports why it has none, nothing.
bool WaitForForm(RunningApp& app) {
    for (DWORD waited = 0; waited < 30000; waited += 100) {
        if (app.WaitForForm(50)) return true;
        if (app.WaitForMessageBox(50) || WaitForSingleObject(app.Process(), 0) == WAIT_OBJECT_0) return false;
    }
    return false;
}

struct Platform {
    const char* name;
    const wchar_t* progId;
};
void PrintTo(const Platform& platform, std::ostream* out) { *out << platform.name; }

class PlatformControl : public testing::TestWithParam<Platform> {};

TEST_P(PlatformControl, ComesUpAndGetReportsError438) {
    ProgIdRedirect redirect(kProgId, GetParam().progId);
    ASSERT_TRUE(redirect) << "not registered on this machine";
    RunningApp app;
    ASSERT_TRUE(WaitForForm(app)) << testing::PrintToString(Instead(app));

    ASSERT_TRUE(app.PostPress(IDC_COMMAND1));
    HWND box = app.WaitForMessageBox();
    ASSERT_NE(box, nullptr) << "a report, not a hang or a crash";
    const std::wstring text = MessageBoxText(box);
    EXPECT_NE(text.find(L"438"), std::wstring::npos) << testing::PrintToString(text);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    // A run-time error ends the program with its number; anything else is a crash.
    EXPECT_EQ(app.WaitForExit(), std::optional<DWORD>(438));
}

INSTANTIATE_TEST_SUITE_P(Wine, PlatformControl,
                         testing::Values(Platform{"WebBrowser", L"Shell.Explorer.2"},
                                         Platform{"ScriptControl", L"MSScriptControl.ScriptControl"},
                                         Platform{"MediaPlayer", L"WMPlayer.OCX"}),
                         [](const testing::TestParamInfo<Platform>& info) { return std::string(info.param.name); });

TEST(NotAControl, StartingShowsTheProgIdAndTheReasonAndExitsNonZero) {
    ProgIdRedirect redirect(kProgId, L"Scripting.Dictionary");
    ASSERT_TRUE(redirect) << "not registered on this machine";
    RunningApp app;
    HWND box = app.WaitForMessageBox();
    ASSERT_NE(box, nullptr) << testing::PrintToString(Instead(app));
    const std::wstring text = MessageBoxText(box);
    EXPECT_NE(text.find(kProgId), std::wstring::npos) << testing::PrintToString(text);
    EXPECT_NE(text.find(L"not an ActiveX control"), std::wstring::npos) << testing::PrintToString(text);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    const std::optional<DWORD> code = app.WaitForExit();
    ASSERT_TRUE(code.has_value());
    EXPECT_NE(*code, 0u);
}

std::wstring ClassOf(const wchar_t* progId, REGSAM view) {
    unique_hkey key;
    const std::wstring path = std::wstring(L"Software\\Classes\\") + progId + L"\\CLSID";
    wchar_t value[64] = {};
    DWORD size = sizeof(value);
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | view, key.put()) != ERROR_SUCCESS ||
        RegGetValueW(key.get(), nullptr, nullptr, RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS)
        return L"<none>";
    return value;
}

// The suite changes the machine's registration: what it changes must come back whole.
TEST(NotAControl, TheRedirectPutsBackTheOldClassAndRemovesWhatItMade) {
    constexpr wchar_t kMadeUp[] = L"TalvoTest.NoSuchControl";
    const std::wstring before = ClassOf(kProgId, KEY_WOW64_32KEY);
    {
        ProgIdRedirect redirect(kProgId, L"{0E59F1D5-1FBE-11D0-8FF2-00A0D10038BC}");
        ProgIdRedirect made(kMadeUp, L"Shell.Explorer.2");
        ASSERT_TRUE(redirect && made);
        for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
            EXPECT_EQ(ClassOf(kProgId, view), L"{0E59F1D5-1FBE-11D0-8FF2-00A0D10038BC}");
            EXPECT_EQ(ClassOf(kMadeUp, view), L"{8856F961-340A-11D0-A96B-00C04FD705A2}");
        }
    }
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
        EXPECT_EQ(ClassOf(kProgId, view), before);
        unique_hkey key;
        EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(L"Software\\Classes\\") + kMadeUp).c_str(), 0,
                                KEY_READ | view, key.put()),
                  ERROR_FILE_NOT_FOUND);
    }
}

}  // namespace
