// The program on a machine where the function control cannot be created, and the reports a
// technician copies out of the window.
#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "ControlIds.h"
#include "ProgIdRedirect.h"
#include "RunningApp.h"
#include "ScratchClasses.h"
#include "StandInScript.h"
#include "Text.h"
#include "Unique.h"

namespace {

std::wstring FromUtf8(const std::string& text) {
    std::wstring wide(text.size(), L'\0');
    wide.resize(
        static_cast<size_t>(std::max(0, MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                                            wide.data(), static_cast<int>(wide.size())))));
    return wide;
}

// Takes the stand-in out of the registry for the scope, and puts it back.
class StandInUnregistered {
public:
    StandInUnregistered() : dll_(LoadLibraryW((BinFolder() + L"VbFunzioniStandIn.dll").c_str())) {
        Call("DllUnregisterServer");
    }
    ~StandInUnregistered() { Call("DllRegisterServer"); }
    explicit operator bool() const { return static_cast<bool>(dll_); }

private:
    void Call(const char* name) const {
        using Fn = HRESULT(__stdcall*)();
        if (auto fn = dll_ ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(dll_.get(), name))) : nullptr)
            fn();
    }
    unique_hmodule dll_;
};

// The wording of each broken registration is ControlDiagnosisTests' business; here what the
// program puts around it, once for each place creation can fail: the ProgID not found (the
// stand-in unregistered), and the class's server that will not load.
TEST(MissingControl, TheBoxSaysWhyWithTheSystemsCodeCopiesWithCtrlCAndTheProgramExitsNonZero) {
    const struct Broken {
        const char* name;
        std::wstring file;  // the class's server; none: the ProgID is not registered at all
        std::vector<std::wstring> words;
    } cases[] = {
        {"NotRegistered", L"", {L"is not registered", L"\n\n(0x800401F3: Invalid class string"}},
        {"ImportMissing",
         Fixture(L"TalvoDiagTop.dll"),
         {L"\"" + Fixture(L"TalvoDiagMiddle.dll") + L"\", which it uses, needs TalvoNeverInstalled.dll",
          L"\n\n(0x8007"}},
    };
    for (const Broken& broken : cases) {
        SCOPED_TRACE(broken.name);
        std::optional<StandInUnregistered> gone;
        ScratchClasses classes;
        std::optional<ProgIdRedirect> redirect;
        const std::wstring clsid = ScratchClsid(0xE2);
        if (broken.file.empty()) {
            ASSERT_TRUE(gone.emplace());
        } else {
            classes.InprocServer(clsid, broken.file);
            ASSERT_TRUE(redirect.emplace(L"TALVO_VB6.VbFunzioni", clsid));
        }
        // Checked unattended: the same diagnosis in the report, exit code 2, and nothing shown.
        const FinishedRun check = RunToEnd(L"/check /json");
        EXPECT_EQ(check.exitCode, std::optional<DWORD>(2));
        EXPECT_FALSE(check.windowShown);
        const nlohmann::json report = nlohmann::json::parse(check.output, nullptr, false);
        ASSERT_TRUE(report.is_object()) << check.output;
        EXPECT_EQ(report["error"]["kind"], "create");
        EXPECT_EQ(report["control"]["created"], false);
        EXPECT_TRUE(Says(FromUtf8(report["error"]["description"].get<std::string>()), broken.words));

        RunningApp app;
        HWND box = app.WaitForMessageBox();
        ASSERT_NE(box, nullptr) << "a report, not a hang";
        const std::wstring text = MessageBoxText(box);
        testing::Test::RecordProperty(broken.name, ToUtf8(text));
        EXPECT_TRUE(Says(text, {L"Cannot create the control \"TALVO_VB6.VbFunzioni\". "}));
        EXPECT_TRUE(Says(text, broken.words));
        // Ctrl+C copies the box's text, as Windows' message box does (the program sees to it
        // where the platform's box does not), and the box stays.
        const std::optional<std::wstring> copied = Copied([&] { return TypeCtrlC(box); });
        ASSERT_TRUE(copied.has_value());
        EXPECT_TRUE(Says(*copied, {L"Test OCX TALVO\r\n", broken.words.front()}));
        EXPECT_TRUE(IsWindowVisible(box));
        PostMessageW(box, WM_COMMAND, IDOK, 0);
        EXPECT_NE(app.WaitForExit().value_or(0), 0u);
    }
    // Everything put back: the control comes up and nothing is diagnosed.
    RunningApp app;
    EXPECT_NE(app.WaitForForm(), nullptr);
    EXPECT_EQ(app.Close(), std::optional<DWORD>(0));
}

TEST(CopyReport, TheSystemMenuCommandAndCtrlCCopyWhatTheWindowShows) {
    // Slow, but it answers: the report shows how slow.
    auto ip = ScriptAnswers(0x60030001, L"hang:300:str:10.20.30.40");
    RunningApp app;
    ASSERT_NE(app.WaitForForm(), nullptr);
    ASSERT_TRUE(app.Press(IDC_COMMAND1));
    ASSERT_EQ(app.Text(IDC_LABEL2), L"LocalIP: 10.20.30.40");
    const std::wregex head(LR"(Test OCX TALVO \d+\.\d+\.\d+\.\d+\r\nDate: \d{4}-\d\d-\d\d \d\d:\d\d:\d\d\r\n)");
    std::wstring body = L"Control: TALVO_VB6.VbFunzioni\r\nCLSID: {CDD9DE31-FF13-4496-BAD9-9F4189D51272}\r\nFile: " +
                        BinFolder() + L"VbFunzioniStandIn.dll\r\nFile version: 1.00\r\nCompany: Brevanti\r\n";
    for (int label = 0; label < 4; ++label)
        body += L"Label" + std::to_wstring(label + 2) + L": " + app.Text(IDC_LABEL2 + label) + L"\r\n";
    body += L"Caption: " + app.Text(app.Form()) + L"\r\nList1 items: 0\r\n";
    const std::wregex times(
        LR"(Creation: \d+\.\d ms\r\nGet, member 0x60030001: (\d+)\.\d ms\r\n)"
        LR"(Get, member 0x60030005: \d+\.\d ms\r\n(Get, member 0x60030002: \d+\.\d ms\r\n){2})");

    // Ctrl+C as typed on the keyboard, with the window in the foreground, as well as the menu command.
    for (const bool typed : {false, true}) {
        SCOPED_TRACE(typed ? "Ctrl+C" : "system menu");
        const std::optional<std::wstring> report = Copied([&] {
            return typed ? TypeCtrlC(app.Form()) : PostMessageW(app.Form(), WM_SYSCOMMAND, kSysCopyReport, 0) != FALSE;
        });
        ASSERT_TRUE(report.has_value());
        testing::Test::RecordProperty(typed ? "ReportByCtrlC" : "Report", ToUtf8(*report));
        std::wsmatch found;
        ASSERT_TRUE(std::regex_search(*report, found, head, std::regex_constants::match_continuous)) << ToUtf8(*report);
        const std::wstring rest = found.suffix().str();
        EXPECT_EQ(rest.substr(0, body.size()), body);
        std::wsmatch timed;
        const std::wstring timings = rest.substr(std::min(body.size(), rest.size()));
        ASSERT_TRUE(std::regex_search(timings, timed, times, std::regex_constants::match_continuous)) << ToUtf8(rest);
        EXPECT_GE(std::stoi(timed[1].str()), 290);
        // Then the machine, and whether the answer is one of its addresses: the stand-in's
        // scripted one is not.
        const std::wstring machine = timed.suffix().str();
        EXPECT_EQ(machine.rfind(L"Computer: ", 0), 0u) << ToUtf8(machine);
        EXPECT_NE(machine.find(L"\r\nLocalIP 10.20.30.40: not an address of this machine\r\n"), std::wstring::npos);
    }
    EXPECT_EQ(app.Close(), std::optional<DWORD>(0));
}

}  // namespace
