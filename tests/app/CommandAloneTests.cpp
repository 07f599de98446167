// A command runs alone, and a crash inside the control becomes a report: the real program,
// with the stand-in pumping messages, showing a modal dialog or crashing inside its calls.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ControlIds.h"
#include "Readout.h"
#include "RunningApp.h"
#include "StandInScript.h"

namespace {

using Lines = std::vector<std::string>;
constexpr size_t kNone = std::string::npos;
constexpr DWORD kServerFault = static_cast<DWORD>(RPC_E_SERVERFAULT);
constexpr std::string_view kInvoke = "invoke dispid=";
constexpr std::string_view kInvokeEnd = "invoke end dispid=";

bool StartsWith(const std::string& line, std::string_view prefix) { return line.rfind(prefix, 0) == 0; }

size_t Count(const Lines& lines, std::string_view prefix) {
    size_t count = 0;
    for (const std::string& line : lines) count += StartsWith(line, prefix) ? 1 : 0;
    return count;
}

size_t Find(const Lines& lines, std::string_view prefix) {
    for (size_t i = 0; i < lines.size(); ++i)
        if (StartsWith(lines[i], prefix)) return i;
    return kNone;
}

size_t FindLast(const Lines& lines, std::string_view prefix) {
    for (size_t i = lines.size(); i-- > 0;)
        if (StartsWith(lines[i], prefix)) return i;
    return kNone;
}

// Polls until `done` holds, bounded.
template <typename Done>
bool WaitUntil(Done done, DWORD timeoutMs = 30000) {
    for (DWORD waited = 0; waited <= timeoutMs; waited += 20) {
        if (done()) return true;
        Sleep(20);
    }
    return false;
}

bool LogShows(const ScopedCallLog& log, std::string_view prefix) {
    return WaitUntil([&] { return Find(log.Lines(), prefix) != kNone; });
}

bool Contains(const std::wstring& text, const wchar_t* part) { return text.find(part) != std::wstring::npos; }

LRESULT ListCount(const RunningApp& app) {
    DWORD_PTR count = 0;
    if (!SendMessageTimeoutW(app.Child(IDC_LIST1), LB_GETCOUNT, 0, 0, SMTO_NORMAL, 30000, &count)) return -1;
    return static_cast<LRESULT>(count);
}

// Clicks on both buttons, and the commands they send, straight to the form: the form is
// disabled under a modal dialog, and a click swallowed there would prove nothing.
void ClickBothButtons(RunningApp& app) {
    for (int id : {IDC_COMMAND1, IDC_COMMAND2}) {
        app.PostPress(id);
        PostMessageW(app.Form(), WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(app.Child(id)));
    }
}

// The control busy inside LocalIP: a message loop of its own, or a modal dialog.
struct Busy {
    const char* name;
    const wchar_t* localIp;
    std::string_view started, ended;
};
constexpr Busy kBusy[] = {
    {"pump", L"pump:1500:str:10.0.0.7", "pump start", "pump end"},
    {"modal", L"modal:1500:str:10.0.0.7", "modal start", "modal end"},
};

TEST(CommandAlone, ClicksWhileTheControlIsInsideACallAreIgnored) {
    for (const Busy& busy : kBusy) {
        SCOPED_TRACE(busy.name);
        ScopedCallLog log;
        auto ip = ScriptAnswers(kDispIdLocalIp, busy.localIp);
        auto status = ScriptAnswers(kDispIdClientStatus, L"str:Installed");
        auto mac = ScriptAnswers(kDispIdMacAddress, L"str:00-00-00-00-00-00");
        RunningApp app;
        ASSERT_NE(app.WaitForForm(), nullptr);
        ASSERT_TRUE(app.PostPress(IDC_COMMAND1));
        ASSERT_TRUE(LogShows(log, busy.started));
        ClickBothButtons(app);

        ASSERT_TRUE(WaitUntil([&] { return app.Text(app.Form()) == L"True"; }));
        Sleep(500);  // a click held back until now would have started its command by this time
        const Lines lines = log.Lines();
        EXPECT_EQ(Count(lines, kInvoke), 4u) << "one run of Get";
        const size_t start = Find(lines, busy.started);
        const size_t end = Find(lines, busy.ended);
        ASSERT_NE(end, kNone);
        for (size_t i = start; i < end; ++i) EXPECT_FALSE(StartsWith(lines[i], kInvoke)) << "nested: " << lines[i];
        EXPECT_EQ(ListCount(app), 0) << "Command2 ran";
        EXPECT_EQ(app.Text(IDC_LABEL2), L"LocalIP: 10.0.0.7");
        EXPECT_EQ(app.Text(IDC_LABEL3), L"Plr Stato: Installed");
        EXPECT_EQ(app.Text(IDC_LABEL4), L"MAC Address: 00-00-00-00-00-00");
        // Ignored while busy, not for good.
        ASSERT_TRUE(app.Press(IDC_COMMAND2));
        EXPECT_GT(ListCount(app), 0);
        EXPECT_EQ(app.Close(), std::optional<DWORD>(0));
    }
}

// The user closes the window while the control is inside a call: the command goes on to its
// end, the control goes only after its call returned, and what failed on the way is reported.
TEST(CommandAlone, ACloseDuringACallWaitsForTheCommand) {
    struct Ending {
        const char* name;
        const wchar_t* status;  // PelloraStatus, asked after the busy LocalIP
        const wchar_t* reported;
        DWORD exitCode;
        size_t calls, returned;
    } const endings[] = {
        {"all answer", L"str:Installed", nullptr, 0, 4, 4},
        {"a later member fails", L"error:1234:VbFunzioni:Servizio Pellora fermo", L"Servizio Pellora fermo", 1234, 2,
         2},
        {"a later member crashes", L"av", L"while calling member 0x60030005", kServerFault, 2, 1},
    };
    for (const Busy& busy : kBusy) {
        for (const Ending& ending : endings) {
            SCOPED_TRACE(testing::Message() << busy.name << ", " << ending.name);
            ScopedCallLog log;
            auto ip = ScriptAnswers(kDispIdLocalIp, busy.localIp);
            auto status = ScriptAnswers(kDispIdClientStatus, ending.status);
            RunningApp app;
            ASSERT_NE(app.WaitForForm(), nullptr);
            ASSERT_TRUE(app.PostPress(IDC_COMMAND1));
            ASSERT_TRUE(LogShows(log, busy.started));
            PostMessageW(app.Form(), WM_CLOSE, 0, 0);

            if (ending.reported) {
                HWND box = app.WaitForMessageBox();
                ASSERT_NE(box, nullptr);
                const std::wstring text = MessageBoxText(box);
                EXPECT_TRUE(Contains(text, ending.reported)) << testing::PrintToString(text);
                PostMessageW(box, WM_COMMAND, IDOK, 0);
            }
            EXPECT_EQ(app.WaitForExit(), std::optional<DWORD>(ending.exitCode));
            const Lines lines = log.Lines();
            EXPECT_EQ(Count(lines, kInvoke), ending.calls);
            EXPECT_EQ(Count(lines, kInvokeEnd), ending.returned);
            const size_t released = Find(lines, "released");
            if (ending.calls == ending.returned) {
                ASSERT_NE(released, kNone);
                EXPECT_GT(released, FindLast(lines, kInvokeEnd)) << "released inside a call";
            } else {
                EXPECT_EQ(released, kNone) << "a crashed control is only let go of";
            }
        }
    }
}

// Waits for the program's report, checks and dismisses it; the program must then end with
// the report's number.
std::wstring TakeCrashReport(RunningApp& app, const wchar_t* doing) {
    HWND box = app.WaitForMessageBox();
    if (box == nullptr) {
        ADD_FAILURE() << "no report";
        return L"";
    }
    const std::wstring text = MessageBoxText(box);
    EXPECT_TRUE(Contains(text, L"-2147417851")) << testing::PrintToString(text);
    EXPECT_TRUE(Contains(text, (std::wstring(L"The control crashed while ") + doing + L": exception ").c_str()))
        << testing::PrintToString(text);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    EXPECT_EQ(app.WaitForExit(), std::optional<DWORD>(kServerFault));
    return text;
}

TEST(CommandAlone, ACrashInsideACallIsReportedAndEndsTheProgram) {
    struct Case {
        const wchar_t* answer;
        const wchar_t* what;
    } const cases[] = {
        {L"av", L"C0000005 (access violation) at VbFunzioniStandIn.dll+0x"},
        // Raised through the system's RaiseException: the fault is seen there, not in the control.
        {L"cxx", L"E06D7363 (C++ exception) at "},
        {L"overflow", L"C00000FD (stack overflow) at VbFunzioniStandIn.dll+0x"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.answer)));
        ScopedCallLog log;
        auto ip = ScriptAnswers(kDispIdLocalIp, c.answer);
        RunningApp app;
        ASSERT_NE(app.WaitForForm(), nullptr);
        ASSERT_TRUE(app.PostPress(IDC_COMMAND1));
        const std::wstring text = TakeCrashReport(app, L"calling member 0x60030001");
        EXPECT_TRUE(Contains(text, c.what)) << testing::PrintToString(text);
        // A crashed control is only let go of: no call reaches it after the crash.
        const Lines lines = log.Lines();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), "invoke dispid=0x60030001 flags=3 args=0 named=0");
    }

    // An exception the control handles itself is none of the program's business.
    ScopedCallLog log;
    auto ip = ScriptAnswers(kDispIdLocalIp, L"handled:str:x");
    RunningApp app;
    ASSERT_NE(app.WaitForForm(), nullptr);
    ASSERT_TRUE(app.Press(IDC_COMMAND1));
    EXPECT_EQ(app.Text(IDC_LABEL2), L"LocalIP: x");
    EXPECT_NE(Find(log.Lines(), "handled exception"), kNone);
    EXPECT_EQ(app.Close(), std::optional<DWORD>(0));
}

TEST(CommandAlone, ACrashWhilePlacingOrRemovingTheControlIsReported) {
    struct Case {
        const wchar_t* demand;
        const wchar_t* doing;
        bool atStart;
    } const cases[] = {
        {L"av-siting", L"siting it", true},
        {L"av-activation", L"activating it", true},
        {L"av-teardown", L"closing it", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.demand)));
        auto demands = StandInDemands(c.demand);
        RunningApp app;
        if (!c.atStart) {
            ASSERT_NE(app.WaitForForm(), nullptr);
            PostMessageW(app.Form(), WM_CLOSE, 0, 0);
        }
        const std::wstring text = TakeCrashReport(app, c.doing);
        EXPECT_TRUE(Contains(text, L"C0000005 (access violation) at VbFunzioniStandIn.dll+0x"))
            << testing::PrintToString(text);
    }
}

}  // namespace
