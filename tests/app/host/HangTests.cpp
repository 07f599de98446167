// A control that stops answering is named in a box from the program's watch, and the user
// chooses: wait, or end the program. The real program, the stand-in stuck inside a call.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <string>
#include <thread>

#include "ControlIds.h"
#include "FormHarness.h"
#include "Readout.h"
#include "RunningApp.h"
#include "StandInScript.h"
#include "Text.h"
#include "Watchdog.h"

namespace {

// Polls until `done` holds or limitMs passed; how long it took.
template <typename Done>
std::optional<DWORD> Within(DWORD limitMs, Done done) {
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        if (done()) return static_cast<DWORD>(GetTickCount64() - start);
        if (GetTickCount64() - start > limitMs) return std::nullopt;
        Sleep(20);
    }
}

bool Logged(const ScopedCallLog& log, const std::string& line) {
    const auto lines = log.Lines();
    return std::ranges::find(lines, line) != lines.end();
}

// Cancel ends the program at once, with the time-out's code.
void ExpectCancelEnds(RunningApp& app, HWND box) {
    PostMessageW(box, WM_COMMAND, IDCANCEL, 0);
    EXPECT_EQ(app.WaitForExit(3000), std::optional<DWORD>(kHungExitCode));
}

TEST(Hang, AShortHangShowsNothingALongOneIsNamedAndTheBoxGoesWhenItReturns) {
    ScopedCallLog log;
    auto ip = ScriptAnswers(kDispIdLocalIp, L"hang:2000:str:10.0.0.1|hang:10000:str:10.0.0.7");
    RunningApp app;
    ASSERT_NE(app.WaitForForm(), nullptr);

    ASSERT_TRUE(app.Press(IDC_COMMAND1));  // returns once the 2 s call and the press are over
    EXPECT_EQ(app.Text(IDC_LABEL2), L"LocalIP: 10.0.0.1");
    EXPECT_EQ(app.WaitForMessageBox(500), nullptr) << "a call shorter than the threshold is not a hang";

    ASSERT_TRUE(app.PostPress(IDC_COMMAND1));
    ASSERT_TRUE(Within(5000, [&] { return Logged(log, "hang start dispid=0x60030001"); }));
    const ULONGLONG pressed = GetTickCount64();
    HWND box = app.WaitForMessageBox(8000);
    ASSERT_NE(box, nullptr);
    const DWORD shownAfter = static_cast<DWORD>(GetTickCount64() - pressed);
    EXPECT_GE(shownAfter, 4500u);
    EXPECT_LE(shownAfter, 6500u);
    RecordProperty("box_shown_after_ms", static_cast<int>(shownAfter));
    const std::wstring text = MessageBoxText(box);
    EXPECT_PRED_FORMAT2(testing::IsSubstring, L"\"TALVO_VB6.VbFunzioni\" is not answering", text);
    EXPECT_PRED_FORMAT2(testing::IsSubstring, L"while calling member 0x60030001", text);
    EXPECT_PRED_FORMAT2(testing::IsSubstring, L"network", text);
    EXPECT_EQ(GetWindow(box, GW_OWNER), nullptr) << "owned by the stuck window, it would wait on it";
    // The time inside is kept up to date while the box is up.
    EXPECT_TRUE(Within(3000, [&] { return MessageBoxText(box) != text; }));

    // The call returns: the box goes by itself and the program carries on.
    const auto closed = Within(8000, [&] { return !IsWindow(box); });
    ASSERT_TRUE(closed);
    EXPECT_TRUE(Logged(log, "hang end dispid=0x60030001"));
    EXPECT_TRUE(Within(5000, [&] { return app.Text(app.Form()) == L"False" || app.Text(app.Form()) == L"True"; }));
    EXPECT_EQ(app.Text(IDC_LABEL2), L"LocalIP: 10.0.0.7");
    EXPECT_EQ(app.WaitForMessageBox(500), nullptr) << "no further box";
    EXPECT_EQ(app.Close(), std::optional<DWORD>(0));
}

// Cancel ends the program at once, in a member and in a creation step alike, without running
// the control's code again: neither its window nor its DLL hears of the end.
TEST(Hang, CancelEndsTheProgramWithTheTimeOutCode) {
    const struct Case {
        const wchar_t *localIp, *demand, *doing;
        bool waitOnce;  // keep waiting first: the box is back 30 s later
    } cases[] = {
        {L"hang:60000:str:10.0.0.7", L"", L"while calling member 0x60030001", true},
        {L"", L"hang-activation", L"while activating it", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.doing)));
        ScopedCallLog log;
        auto ip = ScriptAnswers(kDispIdLocalIp, c.localIp);
        auto demands = StandInDemands(c.demand);
        RunningApp app;
        if (*c.demand == L'\0') {
            ASSERT_NE(app.WaitForForm(), nullptr);
            ASSERT_TRUE(app.PostPress(IDC_COMMAND1));
        }
        HWND box = app.WaitForMessageBox(20000);
        ASSERT_NE(box, nullptr);
        EXPECT_PRED_FORMAT2(testing::IsSubstring, c.doing, MessageBoxText(box));
        if (c.waitOnce) {
            // Ctrl+C copies it, as the program's other boxes, and the box stays.
            const std::optional<std::wstring> copied = Copied([&] { return TypeCtrlC(box); });
            ASSERT_TRUE(copied.has_value());
            EXPECT_PRED_FORMAT2(testing::IsSubstring, c.doing, *copied);
            EXPECT_PRED_FORMAT2(testing::IsSubstring, L"\r\nOK   Cancel   \r\n", *copied);
            EXPECT_TRUE(IsWindowVisible(box));
            PostMessageW(box, WM_COMMAND, IDOK, 0);
            ASSERT_TRUE(Within(3000, [&] { return !IsWindow(box); }));
            const ULONGLONG kept = GetTickCount64();
            box = app.WaitForMessageBox(35000);
            ASSERT_NE(box, nullptr);
            EXPECT_GE(GetTickCount64() - kept, 29000u);
            EXPECT_PRED_FORMAT2(testing::IsSubstring, c.doing, MessageBoxText(box));
        }
        ExpectCancelEnds(app, box);
        EXPECT_FALSE(Logged(log, "window destroyed"));
        EXPECT_FALSE(Logged(log, "detach"));
    }
}

// The watch in process, its threshold shortened. A call that shows the user a dialog of the
// control's own and keeps its messages moving is busy, not stuck: the user can answer it. One
// that dispatches nothing, or loops on its messages showing nothing, is asked about, and Cancel
// hands the time-out's code to the program's ending.
class HangInProcess : public FormHarness {
protected:
    void TearDown() override {
        watchdog::SetThreshold(watchdog::kThresholdMs);
        FormHarness::TearDown();
    }
};

BOOL CALLBACK CancelHangBox(HWND window, LPARAM boxes) {
    // A message box's text first: reading a caption waits on the window's thread, which may be
    // the test's, inside the call.
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process != GetCurrentProcessId() || GetDlgItem(window, 0xFFFF) == nullptr) return TRUE;
    wchar_t caption[64] = {};
    GetWindowTextW(window, caption, 64);
    if (std::wstring(caption) == L"Test OCX TALVO" && IsWindowVisible(window) &&
        PostMessageW(window, WM_COMMAND, IDCANCEL, 0))
        ++*reinterpret_cast<std::atomic<int>*>(boxes);
    return TRUE;
}

TEST_F(HangInProcess, OnlyAThreadThatStoppedDispatchingIsAskedAbout) {
    watchdog::SetThreshold(300);
    auto ip = ScriptAnswers(kDispIdLocalIp, L"modal:1500:str:10.0.0.1|hang:1500:str:10.0.0.2|pump:1500:str:10.0.0.3");
    Open();
    std::atomic<int> boxes{0};
    std::atomic<bool> done{false};
    std::thread user([&] {
        while (!done) {
            EnumWindows(&CancelHangBox, reinterpret_cast<LPARAM>(&boxes));
            Sleep(50);
        }
    });
    PressGet();
    EXPECT_EQ(Label(IDC_LABEL2), L"LocalIP: 10.0.0.1") << (reports_.empty() ? "" : ToUtf8(reports_[0].description));
    EXPECT_EQ(boxes, 0) << "a control showing a dialog is not stuck";
    EXPECT_EQ(ended_, 0u);

    PressGet();
    Sleep(500);  // a box the watch closes itself goes with a delay; the user's Cancel came first
    EXPECT_EQ(boxes, 1);
    EXPECT_EQ(ended_, kHungExitCode);
    // The test's ending returns: the call came back and the program carried on.
    EXPECT_EQ(Label(IDC_LABEL2), L"LocalIP: 10.0.0.2");

    // A message loop with nothing shown to the user is no sign of life.
    ended_ = 0;
    PressGet();
    Sleep(500);
    done = true;
    user.join();
    EXPECT_EQ(boxes, 2) << "a control looping on its own messages, showing nothing";
    EXPECT_EQ(ended_, kHungExitCode);
    EXPECT_EQ(Label(IDC_LABEL2), L"LocalIP: 10.0.0.3");
    EXPECT_TRUE(reports_.empty());
}

}  // namespace
