// The program on a machine where the function control cannot be created, and the report a
// technician copies out of the window.
#include <gtest/gtest.h>

#include <functional>
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

constexpr wchar_t kProgId[] = L"TALVO_VB6.VbFunzioni";

using RegisterFn = HRESULT(__stdcall*)();

// Takes the stand-in out of the registry for the scope, and puts it back.
class StandInUnregistered {
public:
    StandInUnregistered() {
        dll_.reset(LoadLibraryW((BinFolder() + L"VbFunzioniStandIn.dll").c_str()));
        if (dll_) Call("DllUnregisterServer");
    }
    ~StandInUnregistered() {
        if (dll_) Call("DllRegisterServer");
    }
    explicit operator bool() const { return static_cast<bool>(dll_); }

private:
    HRESULT Call(const char* name) {
        auto fn = reinterpret_cast<RegisterFn>(reinterpret_cast<void*>(GetProcAddress(dll_.get(), name)));
        return fn ? fn() : E_NOTIMPL;
    }
    unique_hmodule dll_;
};

testing::AssertionResult Has(const std::wstring& text, const std::wstring& part) {
    if (text.find(part) != std::wstring::npos) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "no \"" << ToUtf8(part) << "\" in: " << ToUtf8(text);
}

// Holds the clipboard for as long as it lives; retried, as the program may hold it a moment.
class OpenedClipboard {
public:
    OpenedClipboard() {
        for (int attempt = 0; attempt < 50 && !(open_ = OpenClipboard(nullptr) != FALSE); ++attempt) Sleep(20);
    }
    OpenedClipboard(const OpenedClipboard&) = delete;
    OpenedClipboard& operator=(const OpenedClipboard&) = delete;
    ~OpenedClipboard() {
        if (open_) CloseClipboard();
    }
    explicit operator bool() const { return open_; }

private:
    bool open_ = false;
};

void EmptyTheClipboard() {
    const OpenedClipboard clipboard;
    ASSERT_TRUE(clipboard);
    ASSERT_TRUE(EmptyClipboard());
}

// The Unicode text put on the clipboard after it was emptied; nothing when none came.
std::optional<std::wstring> WaitForClipboardText(DWORD timeoutMs = 5000) {
    for (DWORD waited = 0; waited <= timeoutMs; waited += 20, Sleep(20)) {
        if (!IsClipboardFormatAvailable(CF_UNICODETEXT)) continue;
        const OpenedClipboard clipboard;
        HANDLE data = clipboard ? GetClipboardData(CF_UNICODETEXT) : nullptr;
        const auto* text = data ? static_cast<const wchar_t*>(GlobalLock(data)) : nullptr;
        if (text == nullptr) continue;
        std::wstring copied(text, wcsnlen(text, GlobalSize(data) / sizeof(wchar_t)));
        GlobalUnlock(data);
        return copied;
    }
    return std::nullopt;
}

// Ctrl+C typed into the window in the foreground, as a user's keyboard would.
bool TypeCtrlC(HWND window) {
    SetForegroundWindow(window);
    for (int waited = 0; GetForegroundWindow() != window; waited += 20, Sleep(20))
        if (waited > 2000) return false;
    INPUT keys[4] = {};
    const WORD codes[4] = {VK_CONTROL, 'C', 'C', VK_CONTROL};
    for (int i = 0; i < 4; ++i) {
        keys[i].type = INPUT_KEYBOARD;
        keys[i].ki.wVk = codes[i];
        keys[i].ki.dwFlags = i < 2 ? 0 : KEYEVENTF_KEYUP;
    }
    return SendInput(4, keys, sizeof(INPUT)) == 4;
}

struct BrokenCase {
    const char* name;
    std::function<void(ScratchClasses&, const std::wstring& clsid)> breakIt;
    std::vector<std::wstring> words;
};

TEST(MissingControl, EachBrokenRegistrationIsExplainedThenTheProgramExitsNonZero) {
    const std::wstring absent = BinFolder() + L"TalvoE2EAbsent.ocx";
    const std::vector<BrokenCase> cases = {
        {"NotRegistered", nullptr, {L"is not registered", L"regsvr32", L"Invalid class string"}},
        {"Only64Bit",
         [](ScratchClasses& classes, const std::wstring& clsid) {
             classes.InprocServer(clsid, L"C:\\Vendor\\TALVO_VB6.ocx", kView64);
         },
         {L"64-bit programs only", L"\"C:\\Vendor\\TALVO_VB6.ocx\"", L"SysWOW64\\regsvr32"}},
        {"FileMissing",
         [&](ScratchClasses& classes, const std::wstring& clsid) { classes.InprocServer(clsid, absent); },
         {L"\"" + absent + L"\" does not exist"}},
        {"ImportMissing",
         [](ScratchClasses& classes, const std::wstring& clsid) {
             classes.InprocServer(clsid, Fixture(L"TalvoDiagTop.dll"));
         },
         {L"\"" + Fixture(L"TalvoDiagMiddle.dll") + L"\", which it uses, needs TalvoNeverInstalled.dll"}},
        {"SixtyFourBitFile",
         [](ScratchClasses& classes, const std::wstring& clsid) {
             classes.InprocServer(clsid, Fixture(L"TalvoDiagWide.dll"));
         },
         {L"is a 64-bit DLL"}},
        {"NoFactory",
         [](ScratchClasses& classes, const std::wstring& clsid) {
             classes.InprocServer(clsid, Fixture(L"TalvoDiagNoFactory.dll"));
         },
         {L"exports no DllGetClassObject"}},
    };
    ASSERT_TRUE(TwoViews()) << "the test prefix is a 64-bit one";
    for (const BrokenCase& broken : cases) {
        SCOPED_TRACE(broken.name);
        std::optional<StandInUnregistered> gone;
        ScratchClasses classes;
        std::optional<ProgIdRedirect> redirect;
        const std::wstring clsid = ScratchClsid(0xE2);
        if (broken.breakIt) {
            broken.breakIt(classes, clsid);
            ASSERT_TRUE(redirect.emplace(kProgId, clsid));
        } else {
            ASSERT_TRUE(gone.emplace());
        }
        RunningApp app;
        HWND box = app.WaitForMessageBox();
        ASSERT_NE(box, nullptr) << "a report, not a hang";
        const std::wstring text = MessageBoxText(box);
        testing::Test::RecordProperty(broken.name, ToUtf8(text));
        EXPECT_TRUE(Has(text, L"Cannot create the control \"TALVO_VB6.VbFunzioni\". "));
        for (const std::wstring& word : broken.words) EXPECT_TRUE(Has(text, word));
        PostMessageW(box, WM_COMMAND, IDOK, 0);
        const std::optional<DWORD> code = app.WaitForExit();
        ASSERT_TRUE(code.has_value());
        EXPECT_NE(*code, 0u);
    }
    // Everything put back: the control comes up and nothing is diagnosed.
    RunningApp app;
    EXPECT_NE(app.WaitForForm(), nullptr);
    EXPECT_EQ(app.Close(), std::optional<DWORD>(0));
}

// What the report must say besides the program's version and the date, from what the window shows.
std::wstring ExpectedReportBody(const RunningApp& app) {
    std::wstring body = L"Control: TALVO_VB6.VbFunzioni\r\nCLSID: {CDD9DE31-FF13-4496-BAD9-9F4189D51272}\r\nFile: " +
                        BinFolder() + L"VbFunzioniStandIn.dll\r\nFile version: 1.00\r\nCompany: Brevanti\r\n";
    for (int label = 0; label < 4; ++label)
        body += L"Label" + std::to_wstring(label + 2) + L": " + app.Text(IDC_LABEL2 + label) + L"\r\n";
    return body + L"Caption: " + app.Text(app.Form()) + L"\r\nList1 items: 0\r\n";
}

TEST(CopyReport, TheSystemMenuCommandAndCtrlCCopyWhatTheWindowShows) {
    auto ip = ScriptAnswers(0x60030001, L"str:10.20.30.40");
    RunningApp app;
    ASSERT_NE(app.WaitForForm(), nullptr);
    ASSERT_TRUE(app.Press(IDC_COMMAND1));
    ASSERT_EQ(app.Text(IDC_LABEL2), L"LocalIP: 10.20.30.40");
    const std::wregex head(LR"(Test OCX TALVO \d+\.\d+\.\d+\.\d+\r\nDate: \d{4}-\d\d-\d\d \d\d:\d\d:\d\d\r\n)");

    // Ctrl+C as typed on the keyboard, with the window in the foreground, as well as the menu command.
    for (const bool typed : {false, true}) {
        SCOPED_TRACE(typed ? "Ctrl+C" : "system menu");
        EmptyTheClipboard();
        if (typed)
            ASSERT_TRUE(TypeCtrlC(app.Form()));
        else
            ASSERT_TRUE(PostMessageW(app.Form(), WM_SYSCOMMAND, kSysCopyReport, 0));
        const std::optional<std::wstring> report = WaitForClipboardText();
        ASSERT_TRUE(report.has_value());
        testing::Test::RecordProperty(typed ? "ReportByCtrlC" : "Report", ToUtf8(*report));
        std::wsmatch found;
        ASSERT_TRUE(std::regex_search(*report, found, head, std::regex_constants::match_continuous)) << ToUtf8(*report);
        EXPECT_EQ(found.suffix().str(), ExpectedReportBody(app));
    }
    EXPECT_EQ(app.Close(), std::optional<DWORD>(0));
}

// Windows' message box copies its text on Ctrl+C (WM_COPY); Wine 8.0's copies nothing. Either
// way the box stays up and still ends the program.
TEST(CopyReport, TheErrorBoxCopiesItsTextOnCtrlCStaysAndStillEndsTheProgram) {
    auto ip = ScriptAnswers(0x60030001, L"error:5:TALVO_VB6:Rete non disponibile");
    RunningApp app;
    ASSERT_NE(app.WaitForForm(), nullptr);
    ASSERT_TRUE(app.PostPress(IDC_COMMAND1));
    HWND box = app.WaitForMessageBox();
    ASSERT_NE(box, nullptr);
    ASSERT_TRUE(Has(MessageBoxText(box), L"Rete non disponibile"));
    for (const bool typed : {false, true}) {
        SCOPED_TRACE(typed ? "Ctrl+C" : "WM_COPY");
        EmptyTheClipboard();
        DWORD_PTR ignored = 0;
        if (typed)
            ASSERT_TRUE(TypeCtrlC(box));
        else
            SendMessageTimeoutW(box, WM_COPY, 0, 0, SMTO_NORMAL, 5000, &ignored);
        const std::optional<std::wstring> copied = WaitForClipboardText(1000);
        testing::Test::RecordProperty(typed ? "BoxByCtrlC" : "BoxByWmCopy", copied ? ToUtf8(*copied) : "(nothing)");
        // Ctrl+C copies the box's text, as Windows' message box does (the program sees to it
        // where the platform's box does not); WM_COPY is the platform's own business.
        if (typed) {
            ASSERT_TRUE(copied.has_value());
            EXPECT_TRUE(Has(*copied, L"Test OCX TALVO\r\n")) << ToUtf8(*copied);
            EXPECT_TRUE(Has(*copied, L"Rete non disponibile"));
        }
        EXPECT_TRUE(!copied || Has(*copied, L"Rete non disponibile"));
        EXPECT_TRUE(IsWindowVisible(box));
    }
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    const std::optional<DWORD> code = app.WaitForExit();
    ASSERT_TRUE(code.has_value());
    EXPECT_NE(*code, 0u);
}

}  // namespace
