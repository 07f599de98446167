// The program with the platform's own controls registered under the function control's
// ProgID: each must come up sited and active, and answer Get with the error of a member it
// does not have; an object that is no control must be refused with a reason.
#include <gtest/gtest.h>

#include <cwchar>
#include <optional>
#include <string>
#include <vector>

#include "ControlIds.h"
#include "ProgIdRedirect.h"
#include "RunningApp.h"
#include "ScratchClasses.h"

namespace {

constexpr wchar_t kProgId[] = L"TALVO_VB6.VbFunzioni";

// What the program showed instead, and how it ended.
std::wstring Instead(RunningApp& app) {
    std::wstring text = L"<no message box>";
    if (HWND box = app.WaitForMessageBox(2000)) {
        text = MessageBoxText(box);
        PostMessageW(box, WM_COMMAND, IDOK, 0);
    }
    wchar_t ended[32] = L"still running";
    if (const std::optional<DWORD> code = app.WaitForExit(5000)) swprintf_s(ended, L"exit code 0x%08lX", *code);
    return text + L"; " + ended;
}

TEST(PlatformControl, EachComesUpAndAnswersGetWithError438AndANonControlIsRefused) {
    const struct Platform {
        const wchar_t* progId;
        bool control;
        std::vector<std::wstring> says;
    } platforms[] = {
        {L"Shell.Explorer.2", true, {L"438"}},
        {L"MSScriptControl.ScriptControl", true, {L"438"}},
        {L"WMPlayer.OCX", true, {L"438"}},
        {L"Scripting.Dictionary", false, {kProgId, L"not an ActiveX control"}},
    };
    for (const Platform& platform : platforms) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(platform.progId)));
        ProgIdRedirect redirect(kProgId, platform.progId);
        ASSERT_TRUE(redirect) << "not registered on this machine";
        RunningApp app;
        if (platform.control) {
            ASSERT_NE(app.WaitForForm(), nullptr) << testing::PrintToString(Instead(app));
            ASSERT_TRUE(app.PostPress(IDC_COMMAND1));
        }
        HWND box = app.WaitForMessageBox();
        ASSERT_NE(box, nullptr) << "a report, not a hang or a crash: " << testing::PrintToString(Instead(app));
        EXPECT_TRUE(Says(MessageBoxText(box), platform.says));
        PostMessageW(box, WM_COMMAND, IDOK, 0);
        // A run-time error ends the program with its number; anything else is a crash.
        const std::optional<DWORD> code = app.WaitForExit();
        EXPECT_NE(code.value_or(0), 0u);
        EXPECT_EQ(code, platform.control ? std::optional<DWORD>(438) : code);
    }
}

// The ProgID's class in one view; "<no key>" when there is no such ProgID.
std::wstring ClassOf(const std::wstring& progId, REGSAM view) {
    unique_hkey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, (L"Software\\Classes\\" + progId).c_str(), 0, KEY_READ | view, key.put()) !=
        ERROR_SUCCESS)
        return L"<no key>";
    wchar_t value[64] = {};
    DWORD size = sizeof(value);
    return RegGetValueW(key.get(), L"CLSID", nullptr, RRF_RT_REG_SZ, nullptr, value, &size) ? L"<none>" : value;
}

// The suite changes the machine's registration: what it changes must come back whole.
TEST(PlatformControl, TheRedirectPutsBackTheOldClassAndRemovesWhatItMade) {
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
        EXPECT_EQ(ClassOf(kMadeUp, view), L"<no key>");
    }
}

}  // namespace
