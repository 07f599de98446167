// Form1 in process, hosting the stand-in control, scripted through its environment.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "FormHarness.h"
#include "Program.h"
#include "Readout.h"
#include "StandInScript.h"

namespace {

RECT ClientRectOf(HWND child) {
    RECT rect{};
    GetWindowRect(child, &rect);
    MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

using Form1Test = FormHarness;

bool Logged(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST_F(Form1Test, LaysOutTheControlTableAtNinetySixDpi) {
    ScopedCallLog log;
    Form1& form = Open();
    EXPECT_EQ(Caption(), L"Test OCX TALVO");
    EXPECT_EQ(GetMenu(form.Window()), nullptr);
    EXPECT_TRUE(GetWindowLongW(form.Window(), GWL_STYLE) & WS_THICKFRAME) << "the user can enlarge it";

    RECT client{};
    GetClientRect(form.Window(), &client);
    EXPECT_EQ(client.right, 794);   // 11910 twips
    EXPECT_EQ(client.bottom, 200);  // 3000 twips

    struct Expected {
        int id;
        const wchar_t* text;
        RECT rect;
    } const expected[] = {
        {IDC_VBFUNZIONI1, L"", {24, 16, 369, 89}},    {IDC_LABEL2, L"Label2", {24, 40, 769, 57}},
        {IDC_LABEL3, L"Label3", {24, 72, 769, 89}},   {IDC_LABEL4, L"Label4", {24, 104, 769, 121}},
        {IDC_LABEL5, L"Label5", {24, 136, 769, 153}}, {IDC_COMMAND1, L"Get", {24, 160, 73, 193}},
        {IDC_LIST1, L"", {32, 240, 417, 504}},        {IDC_COMMAND2, L"Command2", {40, 520, 105, 537}},
    };
    for (const Expected& e : expected) {
        HWND child = form.Control(static_cast<ControlId>(e.id));
        ASSERT_NE(child, nullptr) << e.id;
        const RECT rect = ClientRectOf(child);
        EXPECT_EQ(rect.left, e.rect.left) << e.id;
        EXPECT_EQ(rect.top, e.rect.top) << e.id;
        EXPECT_EQ(rect.right, e.rect.right) << e.id;
        EXPECT_EQ(rect.bottom, e.rect.bottom) << e.id;
        EXPECT_EQ(TextOf(child), e.text) << e.id;
    }
    EXPECT_FALSE(GetWindowLongW(form.Control(IDC_LIST1), GWL_STYLE) & LBS_SORT);
    EXPECT_EQ(SendMessageW(form.Control(IDC_LIST1), LB_GETCOUNT, 0, 0), 0);

    // Tab order: the function control, Command1, List1, Command2, and round again.
    const int order[] = {IDC_VBFUNZIONI1, IDC_COMMAND1, IDC_LIST1, IDC_COMMAND2, IDC_VBFUNZIONI1};
    HWND at = form.Control(IDC_VBFUNZIONI1);
    EXPECT_EQ(GetNextDlgTabItem(form.Window(), nullptr, FALSE), at);
    for (size_t i = 1; i < std::size(order); ++i) {
        at = GetNextDlgTabItem(form.Window(), at, FALSE);
        EXPECT_EQ(GetDlgCtrlID(at), order[i]);
    }
    EXPECT_EQ(GetDlgCtrlID(GetNextDlgTabItem(form.Window(), form.Control(IDC_VBFUNZIONI1), TRUE)), IDC_COMMAND2);

    // The read-outs stay readable over the function control's area.
    for (int label = IDC_LABEL2; label <= IDC_LABEL5; ++label) {
        bool above = false;
        for (HWND w = form.Control(IDC_VBFUNZIONI1); w != nullptr; w = GetWindow(w, GW_HWNDPREV))
            above = above || GetDlgCtrlID(w) == label;
        EXPECT_TRUE(above) << label;
    }

    // Resizing moves nothing and runs nothing.
    SetWindowPos(form.Window(), nullptr, 0, 0, 900, 700, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    EXPECT_EQ(ClientRectOf(form.Control(IDC_COMMAND2)).top, 520);
    EXPECT_EQ(Caption(), L"Test OCX TALVO");
    for (const std::string& line : log.Lines()) EXPECT_EQ(line.rfind("invoke", 0), std::string::npos) << line;
}

TEST_F(Form1Test, HostsTheControlWithItsPersistedExtentAndLetsGoOfIt) {
    ScopedCallLog log;
    Open();
    HWND host = form_->Control(IDC_VBFUNZIONI1);
    HWND inner = GetWindow(host, GW_CHILD);
    ASSERT_NE(inner, nullptr) << "the control is active in place";
    const RECT rect = ClientRectOf(inner);
    EXPECT_EQ(rect.right - rect.left, 345);
    EXPECT_EQ(rect.bottom - rect.top, 73);
    EXPECT_NE(form_->VbFunzioni1(), nullptr);

    const std::vector<std::string> opened = log.Lines();
    auto has = [](const std::vector<std::string>& lines, const std::string& line) {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    };
    EXPECT_TRUE(has(opened, "propbag cx=9128 cy=1931")) << testing::PrintToString(opened);
    EXPECT_TRUE(has(opened, "extent cx=9128 cy=1931"));
    EXPECT_TRUE(has(opened, "inplace left=0 top=0 right=345 bottom=73"));

    form_.reset();
    EXPECT_FALSE(IsWindow(inner));
    const std::vector<std::string> closed = log.Lines();
    EXPECT_TRUE(has(closed, "deactivate"));
    EXPECT_TRUE(has(closed, "close"));
}

TEST_F(Form1Test, GetShowsEachAnswerBehindItsPrefixAndTestsTheMacAgain) {
    ScopedCallLog log;
    auto ip = ScriptAnswers(kDispIdLocalIp, L"str:10.0.0.7|str:");
    auto status = ScriptAnswers(kDispIdClientStatus, L"str:Running|i4:42");
    auto mac = ScriptAnswers(kDispIdMacAddress,
                             L"str:00-1A-2B-3C-4D-5E|str:00-00-00-00-00-00|str:00-00-00-00-00-00|"
                             L"str:00-00-00-00-00-00 |bool:true|str:");
    Open();

    PressGet();
    EXPECT_EQ(Label(IDC_LABEL2), L"LocalIP: 10.0.0.7");
    EXPECT_EQ(Label(IDC_LABEL3), L"Plr Stato: Running");
    EXPECT_EQ(Label(IDC_LABEL4), L"MAC Address: 00-1A-2B-3C-4D-5E");
    EXPECT_EQ(Caption(), L"True") << "the second, fresh answer decides";

    PressGet();  // an empty answer leaves the prefix alone; a number is shown as text
    EXPECT_EQ(Label(IDC_LABEL2), L"LocalIP: ");
    EXPECT_EQ(Label(IDC_LABEL3), L"Plr Stato: 42");
    EXPECT_EQ(Label(IDC_LABEL4), L"MAC Address: 00-00-00-00-00-00");
    EXPECT_EQ(Caption(), L"False") << "a trailing blank is another text";

    PressGet();  // a Boolean answer reads True; an empty MAC is not the zero address
    EXPECT_EQ(Label(IDC_LABEL4), L"MAC Address: True");
    EXPECT_EQ(Caption(), L"False");
    EXPECT_TRUE(reports_.empty());

    std::vector<std::string> invokes;
    for (const std::string& line : log.Lines())
        if (line.rfind("invoke dispid", 0) == 0) invokes.push_back(line);
    const std::string perPress[] = {
        "invoke dispid=0x60030001 flags=3 args=0 named=0", "invoke dispid=0x60030005 flags=3 args=0 named=0",
        "invoke dispid=0x60030002 flags=3 args=0 named=0", "invoke dispid=0x60030002 flags=3 args=0 named=0"};
    ASSERT_EQ(invokes.size(), 12u);
    for (size_t i = 0; i < invokes.size(); ++i) EXPECT_EQ(invokes[i], perPress[i % 4]) << i;
}

// Whatever number a member fails with, it is that member's error: even the one a crash is
// reported with does not make the control a crashed one, which is still closed and unsited.
TEST_F(Form1Test, AnErrorStopsTheCommandWhereItStandsAndEndsTheProgram) {
    const struct Case {
        const wchar_t* status;
        long number;
        std::wstring source, description;
    } cases[] = {
        {L"error:5:VbFunzioni:Pellora non risponde", 5, L"VbFunzioni", L"Pellora non risponde"},
        {L"hresult:0x80010105", static_cast<long>(RPC_E_SERVERFAULT), kFunctionControlProgId,
         ErrorFromHresult(RPC_E_SERVERFAULT, kFunctionControlProgId).Description()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.status)));
        reports_.clear();
        ScopedCallLog log;
        auto demands = StandInDemands(L"logsite");
        auto ip = ScriptAnswers(kDispIdLocalIp, L"str:10.0.0.7");
        auto status = ScriptAnswers(kDispIdClientStatus, c.status);
        Open();
        PressGet();
        ASSERT_EQ(reports_.size(), 1u);
        const Report& report = reports_[0];
        EXPECT_EQ(report.number, c.number);
        EXPECT_EQ(report.source, c.source);
        EXPECT_EQ(report.description, c.description);
        EXPECT_EQ(report.labels[0], L"LocalIP: 10.0.0.7");
        EXPECT_EQ(report.labels[1], L"Label3");
        EXPECT_EQ(report.labels[2], L"Label4");
        EXPECT_EQ(report.caption, L"Test OCX TALVO");
        EXPECT_FALSE(IsWindow(form_->Window())) << "the program ends after the report";
        EXPECT_EQ(DrainMessages(), std::optional<WPARAM>(static_cast<WPARAM>(c.number))) << "a non-zero exit code";
        const std::vector<std::string> lines = log.Lines();
        const auto close = std::find(lines.begin(), lines.end(), "close");
        EXPECT_TRUE(close != lines.end() && std::find(close, lines.end(), "site cleared") != lines.end() &&
                    lines.back() == "released")
            << testing::PrintToString(lines);
        form_.reset();
    }
}

// A crash in a call nested in a member (the control pumps messages, and the focus handed to it
// meanwhile faults) ends the command at its next call: the crashed control is asked nothing
// more, and neither closed nor unsited.
TEST_F(Form1Test, ACrashInsideAMembersMessageLoopStopsTheCommandAtItsNextCall) {
    ScopedCallLog log;
    auto demands = StandInDemands(L"av-focus,logsite");
    auto ip = ScriptAnswers(kDispIdLocalIp, L"pump:300:str:10.0.0.7");
    Open();
    ASSERT_TRUE(DrainMessages() == std::nullopt);
    PostMessageW(form_->Control(IDC_VBFUNZIONI1), WM_SETFOCUS, 0, 0);
    // The click without the button's own focus change: the control gets the focus only inside.
    SendMessageW(form_->Window(), WM_COMMAND, MAKEWPARAM(IDC_COMMAND1, BN_CLICKED),
                 reinterpret_cast<LPARAM>(form_->Control(IDC_COMMAND1)));
    ASSERT_EQ(reports_.size(), 1u);
    EXPECT_EQ(reports_[0].number, static_cast<long>(RPC_E_SERVERFAULT));
    EXPECT_PRED_FORMAT2(testing::IsSubstring, L"The control crashed while giving it the focus: exception C0000005",
                        reports_[0].description);
    EXPECT_EQ(reports_[0].labels[0], L"LocalIP: 10.0.0.7") << "the member itself returned";
    EXPECT_EQ(reports_[0].labels[1], L"Label3");
    form_.reset();
    EXPECT_EQ(reports_.size(), 1u);
    const std::vector<std::string> lines = log.Lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.starts_with("invoke "); }),
              2)
        << testing::PrintToString(lines);
    EXPECT_FALSE(Logged(lines, "close"));
    EXPECT_FALSE(Logged(lines, "site cleared"));
}

TEST_F(Form1Test, AnswersWithoutATextFormAreNumberedErrors) {
    struct Case {
        const wchar_t* answer;
        long number;
        const wchar_t* description;
    } const cases[] = {
        {L"null", 94, L"Invalid use of Null"},
        {L"deferred:1001:Rete:Scheda assente", 1001, L"Scheda assente"},
        {L"array", 13, L"Type mismatch"},
        // An object without a default value: Windows says 438, Wine's conversion 13.
        {L"dispatch", 0, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.answer)));
        reports_.clear();
        auto mac = ScriptAnswers(kDispIdMacAddress, c.answer);
        Open();
        PressGet();
        ASSERT_EQ(reports_.size(), 1u);
        if (c.description != nullptr) {
            EXPECT_EQ(reports_[0].number, c.number);
            EXPECT_EQ(reports_[0].description, c.description);
        } else {
            EXPECT_TRUE(reports_[0].number == 438 || reports_[0].number == 13) << reports_[0].number;
        }
        EXPECT_NE(reports_[0].labels[1], L"Label3");
        EXPECT_EQ(reports_[0].labels[2], L"Label4");
        form_.reset();
    }
}

TEST_F(Form1Test, AFailureWithoutExceptionInfoCarriesTheSystemsText) {
    auto ip = ScriptAnswers(kDispIdLocalIp, L"hresult:0x80004005");
    Open();
    PressGet();
    ASSERT_EQ(reports_.size(), 1u);
    EXPECT_EQ(reports_[0].number, static_cast<long>(E_FAIL));
    EXPECT_FALSE(reports_[0].description.empty());
    EXPECT_EQ(reports_[0].labels[0], L"Label2");
}

}  // namespace

namespace {

// Controls that ask more of their container than the stand-in does by default.
TEST_F(Form1Test, DemandingControlsComeUpInPlace) {
    struct Case {
        const wchar_t* demands;
        const char* expected;  // a line the control logs once it got what it needed
    } const cases[] = {
        {L"siteex", "activated through siteex"},
        {L"noextent,nopropbag", "initnew"},  // refusals are not fatal; defaults are loaded instead
        {L"usereg", "inplace left=0 top=0 right=345 bottom=73"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.demands)));
        ScopedCallLog log;
        auto demands = StandInDemands(c.demands);
        Open();
        EXPECT_NE(GetWindow(form_->Control(IDC_VBFUNZIONI1), GW_CHILD), nullptr) << "active in place";
        EXPECT_TRUE(Logged(log.Lines(), c.expected)) << testing::PrintToString(log.Lines());
        PressGet();
        EXPECT_NE(Label(IDC_LABEL2), L"Label2");
        form_.reset();
        EXPECT_TRUE(reports_.empty());
    }
}

TEST_F(Form1Test, AControlReadsItsExtenderAndTheFormsAmbients) {
    ScopedCallLog log;
    auto demands = StandInDemands(L"probe");
    Open();
    const std::vector<std::string> lines = log.Lines();
    for (const char* line :
         {"observed extender.name=VbFunzioni1", "observed extender.left=360", "observed extender.top=240",
          "observed extender.width=5175", "observed extender.height=1095", "observed extender.tabindex=0",
          "observed extender.tabstop=true", "observed extender.tag=", "observed parent.name=Form1",
          "observed parent.caption=Test OCX TALVO", "observed parent.hwnd=nonzero", "observed ambient.usermode=true",
          "observed ambient.backcolor=0x8000000F", "observed ambient.unknown=error 0x80020003"})
        EXPECT_TRUE(Logged(lines, line)) << line << "\n" << testing::PrintToString(lines);
    const auto font = std::find_if(lines.begin(), lines.end(),
                                   [](const std::string& l) { return l.rfind("observed ambient.font=", 0) == 0; });
    ASSERT_NE(font, lines.end());
    EXPECT_EQ(font->substr(font->size() - 2), " 8") << *font << ": the form's 8-point font";
}

TEST_F(Form1Test, AControlInvisibleAtRunTimeIsLoadedButNotActivatedAndTabPassesItBy) {
    ScopedCallLog log;
    auto demands = StandInDemands(L"invisible");
    Open();
    EXPECT_EQ(GetWindow(form_->Control(IDC_VBFUNZIONI1), GW_CHILD), nullptr);
    for (const std::string& line : log.Lines()) EXPECT_NE(line.rfind("doverb", 0), 0u) << line;
    EXPECT_EQ(GetDlgCtrlID(GetNextDlgTabItem(form_->Window(), nullptr, FALSE)), IDC_COMMAND1);
    PressGet();
    EXPECT_NE(Label(IDC_LABEL2), L"Label2") << "its members still answer";
    EXPECT_TRUE(reports_.empty());
}

TEST_F(Form1Test, FocusUIActivatesAControlWithAUserInterfaceAndItsKeysComeFirst) {
    ScopedCallLog log;
    auto demands = StandInDemands(L"edit");
    Open();
    SetForegroundWindow(form_->Window());
    HWND host = form_->Control(IDC_VBFUNZIONI1);
    SetFocus(host);  // where Tab puts it
    HWND edit = GetFocus();
    ASSERT_TRUE(IsChild(host, edit)) << "the control took the focus: " << testing::PrintToString(log.Lines());
    EXPECT_TRUE(Logged(log.Lines(), "uiactivate"));

    // The message loop's part: the UI-active control sees each keystroke before the dialog
    // navigation does; a Tab it declines moves on in the form's tab order.
    MSG key{edit, WM_KEYDOWN, 'A', 0, 0, {}};
    form_->PreTranslateMessage(key);
    EXPECT_TRUE(Logged(log.Lines(), "accelerator message=0x0100 key=0x41"));
    MSG tab{edit, WM_KEYDOWN, VK_TAB, 0, 0, {}};
    EXPECT_TRUE(form_->PreTranslateMessage(tab));
    form_->AfterMessage();
    EXPECT_EQ(GetDlgCtrlID(GetFocus()), IDC_COMMAND1);
    EXPECT_TRUE(Logged(log.Lines(), "uideactivate")) << "focus that left takes the UI state with it";
    EXPECT_TRUE(reports_.empty());
}

}  // namespace
