// A command runs alone, and a crash inside the control becomes a report: the real program,
// with the stand-in pumping messages, showing a modal dialog or crashing inside its calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "ControlIds.h"
#include "Readout.h"
#include "RunningApp.h"
#include "StandInScript.h"

namespace {

constexpr DWORD kServerFault = static_cast<DWORD>(RPC_E_SERVERFAULT);

size_t Count(std::span<const std::string> lines, std::string_view prefix) {
    return std::ranges::count_if(lines, [&](const std::string& line) { return line.starts_with(prefix); });
}

// Polls until `done` holds, bounded.
template <typename Done>
bool WaitUntil(Done done) {
    for (int waited = 0; waited <= 30000; waited += 20, Sleep(20))
        if (done()) return true;
    return false;
}

LRESULT ListCount(const RunningApp& app) {
    DWORD_PTR count = 0;
    if (!SendMessageTimeoutW(app.Child(IDC_LIST1), LB_GETCOUNT, 0, 0, SMTO_NORMAL, 30000, &count)) return -1;
    return static_cast<LRESULT>(count);
}

// The control busy inside LocalIP: a message loop of its own, or a modal dialog.
constexpr const char* kBusy[] = {"pump", "modal"};

ScopedEnv BusyLocalIp(const std::string& busy) {
    return ScriptAnswers(kDispIdLocalIp, std::wstring(busy.begin(), busy.end()) + L":1500:str:10.0.0.7");
}

// Presses Command1 and waits until the control is busy inside it.
bool StartBusy(RunningApp& app, const ScopedCallLog& log, const std::string& busy) {
    return app.WaitForForm() && app.PostPress(IDC_COMMAND1) &&
           WaitUntil([&] { return Count(log.Lines(), busy + " start") > 0; });
}

TEST(CommandAlone, ClicksWhileTheControlIsInsideACallAreIgnored) {
    for (const std::string busy : kBusy) {
        SCOPED_TRACE(busy);
        ScopedCallLog log;
        auto ip = BusyLocalIp(busy);
        // An exception the control handles itself is none of the program's business.
        auto status = ScriptAnswers(kDispIdClientStatus, L"handled:str:Installed");
        auto mac = ScriptAnswers(kDispIdMacAddress, L"str:00-00-00-00-00-00");  // the caption says True when done
        RunningApp app;
        ASSERT_TRUE(StartBusy(app, log, busy));
        // Straight to the form too: it is disabled under a modal dialog, and a click swallowed
        // there would prove nothing.
        for (int id : {IDC_COMMAND1, IDC_COMMAND2}) {
            app.PostPress(id);
            PostMessageW(app.Form(), WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(app.Child(id)));
        }

        ASSERT_TRUE(WaitUntil([&] { return app.Text(app.Form()) == L"True"; }));
        Sleep(500);  // a click held back until now would have started its command by this time
        const auto lines = log.Lines();
        EXPECT_EQ(Count(lines, "invoke dispid="), 4u) << "one run of Get, nothing nested";
        EXPECT_EQ(Count(lines, "handled exception"), 1u);
        EXPECT_EQ(ListCount(app), 0) << "Command2 ran";
        EXPECT_EQ(app.Text(IDC_LABEL2), L"LocalIP: 10.0.0.7");
        EXPECT_EQ(app.Text(IDC_LABEL3), L"Plr Stato: Installed");
        // Ignored while busy, not for good.
        ASSERT_TRUE(app.Press(IDC_COMMAND2));
        EXPECT_GT(ListCount(app), 0);
        EXPECT_EQ(app.Close(), std::optional<DWORD>(0));
    }
}

// The user closes the window while the control is inside a call: the command goes on to its
// end, the control goes only after its call returned, and what failed on the way is reported.
TEST(CommandAlone, ACloseDuringACallWaitsForTheCommand) {
    const struct Ending {
        const wchar_t* status;  // PelloraStatus, asked after the busy LocalIP
        const wchar_t* reported;
        DWORD exitCode;
        size_t calls, returned;
    } endings[] = {
        {L"str:Installed", nullptr, 0, 4, 4},
        {L"error:1234:VbFunzioni:Servizio Pellora fermo", L"Servizio Pellora fermo", 1234, 2, 2},
        {L"av", L"while calling member 0x60030005", kServerFault, 2, 1},
    };
    for (const std::string busy : kBusy) {
        for (const Ending& ending : endings) {
            SCOPED_TRACE(testing::Message() << busy << ", " << testing::PrintToString(ending.status));
            ScopedCallLog log;
            auto ip = BusyLocalIp(busy);
            auto status = ScriptAnswers(kDispIdClientStatus, ending.status);
            RunningApp app;
            ASSERT_TRUE(StartBusy(app, log, busy));
            PostMessageW(app.Form(), WM_CLOSE, 0, 0);

            if (ending.reported) {
                HWND box = app.WaitForMessageBox();
                ASSERT_NE(box, nullptr);
                EXPECT_PRED_FORMAT2(testing::IsSubstring, ending.reported, MessageBoxText(box));
                PostMessageW(box, WM_COMMAND, IDOK, 0);
            }
            EXPECT_EQ(app.WaitForExit(), std::optional<DWORD>(ending.exitCode));
            const auto lines = log.Lines();
            EXPECT_EQ(Count(lines, "invoke dispid="), ending.calls);
            EXPECT_EQ(Count(lines, "invoke end"), ending.returned);
            const auto released = std::ranges::find(lines, "released");
            EXPECT_EQ(released != lines.end(), ending.calls == ending.returned)
                << "a crashed control is only let go of";
            EXPECT_EQ(Count({released, lines.end()}, "invoke"), 0u) << "released inside a call";
        }
    }
}

TEST(CommandAlone, ACrashInTheControlIsReportedAndEndsTheProgram) {
    constexpr wchar_t kAv[] = L"C0000005 (access violation) at VbFunzioniStandIn.dll+0x";
    constexpr wchar_t kGet[] = L"calling member 0x60030001";
    enum When { kStarting, kInGet, kClosing };
    const struct Case {
        const wchar_t *localIp, *demand;
        When when;
        const wchar_t *doing, *what;
    } cases[] = {
        {L"av", L"", kInGet, kGet, kAv},
        // Raised through the system's RaiseException: the fault is seen there, not in the control.
        {L"cxx", L"", kInGet, kGet, L"E06D7363 (C++ exception) at "},
        {L"overflow", L"", kInGet, kGet, L"C00000FD (stack overflow) at VbFunzioniStandIn.dll+0x"},
        // The thread's handler chain broken first: only the program's last resort sees it.
        {L"smash", L"", kInGet, kGet, kAv},
        // A lock left held (the heap's, as a fault inside an allocation leaves it) must not keep
        // the report from showing.
        {L"av-locked", L"", kInGet, kGet, kAv},
        // An object answer runs the control's code when converted to text, and when let go of.
        {L"dispatch:av-invoke", L"", kInGet, L"reading the answer of member 0x60030001", kAv},
        {L"dispatch:av-release", L"", kInGet, L"freeing the answer of member 0x60030001", kAv},
        {L"", L"av-siting", kStarting, L"siting it", kAv},
        {L"", L"av-activation", kStarting, L"activating it", kAv},
        {L"", L"av-teardown", kClosing, L"closing it", kAv},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.localIp) + c.demand));
        ScopedCallLog log;
        auto ip = ScriptAnswers(kDispIdLocalIp, c.localIp);
        auto demands = StandInDemands(c.demand);
        RunningApp app;
        if (c.when != kStarting) {
            ASSERT_NE(app.WaitForForm(), nullptr);
            ASSERT_TRUE(c.when == kInGet ? app.PostPress(IDC_COMMAND1) : PostMessageW(app.Form(), WM_CLOSE, 0, 0));
        }
        HWND box = app.WaitForMessageBox();
        ASSERT_NE(box, nullptr) << "no report";
        const std::wstring text = MessageBoxText(box);
        EXPECT_PRED_FORMAT2(testing::IsSubstring, L"-2147417851", text);
        EXPECT_PRED_FORMAT2(testing::IsSubstring,
                            std::wstring(L"The control crashed while ") + c.doing + L": exception " + c.what, text);
        PostMessageW(box, WM_COMMAND, IDOK, 0);
        EXPECT_EQ(app.WaitForExit(), std::optional<DWORD>(kServerFault));
        // A crashed control is only let go of: no call reaches it after the crash, and the program
        // ends without its DLL hearing of it.
        const auto lines = log.Lines();
        EXPECT_EQ(Count(lines, "detach"), 0u);
        const auto get = std::ranges::find(lines, "invoke dispid=0x60030001 flags=3 args=0 named=0");
        if (c.when == kInGet) {
            ASSERT_NE(get, lines.end());
            const bool answered = std::wstring_view(c.localIp).starts_with(L"dispatch");
            EXPECT_EQ(lines.end() - get, answered ? 2 : 1) << testing::PrintToString(lines);
        }
    }
}

}  // namespace

namespace {

// A crash form after the control ran a message loop of its own (pump:MS:cxx): reported as
// any crash, and nothing reaches the control after it.
TEST(CommandAlone, ACrashAfterTheControlsOwnMessageLoopIsReportedAsAnyOther) {
    ScopedCallLog log;
    auto ip = ScriptAnswers(kDispIdLocalIp, L"pump:200:cxx");
    RunningApp app;
    ASSERT_NE(app.WaitForForm(), nullptr);
    ASSERT_TRUE(app.PostPress(IDC_COMMAND1));
    HWND box = app.WaitForMessageBox();
    ASSERT_NE(box, nullptr) << "no report";
    EXPECT_PRED_FORMAT2(testing::IsSubstring,
                        L"The control crashed while calling member 0x60030001: exception E06D7363 (C++ exception) at ",
                        MessageBoxText(box));
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    EXPECT_EQ(app.WaitForExit(), std::optional<DWORD>(kServerFault));
    const auto lines = log.Lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
              (std::vector<std::string>{"invoke dispid=0x60030001 flags=3 args=0 named=0",
                                        "pump start dispid=0x60030001", "pump end dispid=0x60030001"}));
}

}  // namespace
