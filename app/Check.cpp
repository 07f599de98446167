#include "Check.h"

#include <commctrl.h>
#include <ole2.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "ControlCalls.h"
#include "Findings.h"
#include "Form1.h"
#include "LastWord.h"
#include "ProcessListCommand.h"
#include "Program.h"
#include "Text.h"
#include "TopLevelReport.h"
#include "Unique.h"
#include "Watchdog.h"

namespace {

// The number a refused command line is reported with: HRESULT_FROM_WIN32(ERROR_BAD_ARGUMENTS).
constexpr long kUsageNumber = static_cast<long>(0x800700A0);

// What does not depend on the control (the machine, the control's registration), read on a
// thread of its own while the control is made: it costs the check no time of its own.
struct Background {
    std::optional<MachineFacts> machine;
    std::optional<Findings::Control> control;
    unique_handle thread;
    bool taken = false;
};

struct Check {
    explicit Check(const CommandLine& given) : line(given) {}
    const CommandLine& line;
    unique_hfile file;        // the /out file, opened before anything runs
    HANDLE output = nullptr;  // the file or the standard output
    Findings findings;
    Form1* form = nullptr;  // once made
    Background background;
    LONG volatile writing = 0;  // the report is written once, by whichever thread ends the run
};
Check* g_check = nullptr;

// On the standard error, when there is one: why the report could not be written.
void Complain(const std::wstring& text) noexcept {
    HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    if (error == nullptr || error == INVALID_HANDLE_VALUE) return;
    try {
        const std::string bytes = ToUtf8(std::wstring(kProgramName) + L": " + text + L"\r\n");
        DWORD written = 0;
        WriteFile(error, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    } catch (...) {
    }
}

// All of bytes, in pieces a pipe takes; a console gets the text as text, whatever its code page.
bool WriteAll(HANDLE to, std::string_view bytes) {
    DWORD mode = 0;
    if (GetConsoleMode(to, &mode)) {
        const int length = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
        std::wstring text(static_cast<size_t>(length > 0 ? length : 0), L'\0');
        MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(), length);
        DWORD written = 0;
        return WriteConsoleW(to, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) != FALSE;
    }
    while (!bytes.empty()) {
        const DWORD piece = static_cast<DWORD>(std::min<size_t>(bytes.size(), 1 << 20));
        DWORD written = 0;
        if (!WriteFile(to, bytes.data(), piece, &written, nullptr)) return false;
        if (written == 0) {
            SetLastError(ERROR_WRITE_FAULT);
            return false;
        }
        bytes.remove_prefix(written);
    }
    return true;
}

std::wstring Destination(const Check& check) {
    return check.line.out ? L"\"" + *check.line.out + L"\"" : std::wstring(L"the standard output");
}

DWORD WINAPI ReadBackground(void* raw) {
    try {
        auto& background = *static_cast<Background*>(raw);
        background.machine = ReadMachineFacts();
        background.control = RegisteredFacts(kFunctionControlProgId);
    } catch (...) {
        // Out of memory: those facts are not known.
    }
    return 0;
}

void StartBackground(Check& check) {
    check.background.thread.reset(CreateThread(nullptr, 0, &ReadBackground, &check.background, 0, nullptr));
    if (!check.background.thread) ReadBackground(&check.background);
}

// The background facts into the findings, waited for at most waitMs. A control stuck in its
// loading may hold the loader's lock, which reading a version record needs: then they stay
// unknown rather than keep the report from being written.
void TakeBackground(Check& check, DWORD waitMs) {
    Background& background = check.background;
    if (background.taken) return;
    if (background.thread && WaitForSingleObject(background.thread.get(), waitMs) != WAIT_OBJECT_0) return;
    background.taken = true;
    check.findings.machine = std::move(background.machine);
    if (background.control) {
        // What the window said of its control stays; the registration comes from here.
        if (check.findings.control) {
            background.control->created = check.findings.control->created;
            background.control->createMs = check.findings.control->createMs;
        }
        check.findings.control = std::move(background.control);
    }
}

// The report, once per run, with the run's exit code; the code, or NotWritten when it could
// not be written. A second thread that comes to end the run waits for the first to end it.
int Finish(Check& check, int exitCode) noexcept {
    if (InterlockedExchange(&check.writing, 1) != 0) Sleep(INFINITE);
    try {
        // A run ending on a crash or a hang does not wait long: the control may hold the lock.
        const bool broken = exitCode == checkexit::TimedOut || exitCode == checkexit::Crashed;
        TakeBackground(check, broken ? 2000 : 30000);
        check.findings.exitCode = exitCode;
        const std::string bytes = check.line.json ? FindingsJson(check.findings) : ToUtf8(FindingsText(check.findings));
        if (!lastword::Claim()) Sleep(INFINITE);  // the last word went out instead, and ends the run
        if (WriteAll(check.output, bytes)) return exitCode;
        Complain(L"The report could not be written to " + Destination(check) + L": " + SystemMessage(GetLastError()));
    } catch (...) {
        Complain(L"The report could not be made: out of memory.");
    }
    return checkexit::NotWritten;
}

bool OpenOutput(Check& check) {
    if (check.line.out) {
        check.file.reset(CreateFileW(check.line.out->c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!check.file) {
            Complain(L"The report cannot be written to " + Destination(check) + L": " + SystemMessage(GetLastError()));
            return false;
        }
        check.output = check.file.get();
        return true;
    }
    check.output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (check.output != nullptr && check.output != INVALID_HANDLE_VALUE) return true;
    Complain(L"There is no standard output to write the report to: redirect it, or give /out:FILE.");
    return false;
}

// The member being asked, or the one whose call just failed: what an error is about.
std::optional<DISPID> MemberAt(const Check& check) {
    if (check.form == nullptr) return std::nullopt;
    const PressRecord& press = check.form->LastPress();
    if (const DISPID asking = press.asking) return asking;
    if (!press.calls.empty() && !press.calls.back().answer) return press.calls.back().member;
    return std::nullopt;
}

// What the window shows now; without a window yet, only that the control is not made.
void Describe(Check& check) {
    if (check.form != nullptr)
        check.form->Describe(check.findings);
    else if (!check.findings.control)
        check.findings.control = ControlNamed(kFunctionControlProgId);
}

// A crash: the report at once, then the end with no more of the control's code run.
[[noreturn]] void EndAfterCrash(Check& check, const NumberedError& error) noexcept {
    const std::optional<DISPID> member = MemberAt(check);
    lastword::Arm({L"crash", error.Number(), error.Source(), error.Description(), member, checkexit::Crashed});
    try {
        Describe(check);
        check.findings.error = {L"crash", error.Number(), error.Source(), error.Description(), member};
    } catch (...) {
        // Out of memory: the report says what it had.
    }
    watchdog::End(static_cast<UINT>(Finish(check, checkexit::Crashed)));
    for (;;) Sleep(INFINITE);  // an ending that returns (tests): this thread goes no further
}

// Form1's reporter: an error that ends a command or the creation. A crash ends the run here;
// any other error is kept, and the run goes on to its end.
void Reported(const NumberedError& error) {
    Check& check = *g_check;
    if (ControlCalls::Crashes() != 0) EndAfterCrash(check, error);
    const std::optional<DISPID> member = MemberAt(check);
    Describe(check);
    check.findings.error = {L"member", error.Number(), error.Source(), error.Description(), member};
}

void CrashedUnguarded(const NumberedError& error) noexcept { EndAfterCrash(*g_check, error); }

// On the watch's thread: the call has run past the time-out. The window's thread is inside it.
void Hung(const watchdog::HungCall& call) noexcept {
    Check& check = *g_check;
    const std::optional<DISPID> member = MemberAt(check);
    // Built with nothing allocated: the control may be stuck holding the heap's lock.
    lastword::FixedText<512> description;
    description << L"The control did not return within " << check.line.timeoutSeconds << L" seconds while "
                << call.doing << L"; it was given up on after " << call.ms / 1000 << L" seconds.";
    lastword::Arm(
        {L"timeout", static_cast<long>(kHungExitCode), call.source, description.View(), member, checkexit::TimedOut});
    try {
        Describe(check);
        if (check.form != nullptr && check.form->LastPress().asking != 0)
            check.findings.calls.push_back(
                {check.form->LastPress().asking, std::nullopt, static_cast<double>(call.ms)});
        check.findings.error = {L"timeout", static_cast<long>(kHungExitCode), call.source,
                                std::wstring(description.View()), member};
    } catch (...) {
    }
    watchdog::End(static_cast<UINT>(Finish(check, checkexit::TimedOut)));
}

// Messages the control posted itself meanwhile, dispatched as the message loop would.
void DispatchPending(Form1& form) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) return;
        if (!form.PreTranslateMessage(message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        form.AfterMessage();
    }
}

// A button pressed as a click would: false when the window is gone (an error ended it).
bool Press(Form1& form, ControlId button) {
    if (form.Window() == nullptr) return false;
    SendMessageW(form.Window(), WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                 reinterpret_cast<LPARAM>(form.Control(button)));
    DispatchPending(form);
    return form.Window() != nullptr;
}

std::vector<std::wstring> ListItems(HWND list) {
    std::vector<std::wstring> items;
    const LRESULT count = SendMessageW(list, LB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        const LRESULT length = SendMessageW(list, LB_GETTEXTLEN, static_cast<WPARAM>(i), 0);
        if (length < 0) break;
        std::wstring item(static_cast<size_t>(length) + 1, L'\0');
        const LRESULT copied =
            SendMessageW(list, LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(item.data()));
        item.resize(static_cast<size_t>(copied > 0 ? copied : 0));
        items.push_back(std::move(item));
    }
    return items;
}

// With the window gone, the processes are still worth knowing: listed as Command2 lists them.
std::optional<std::vector<std::wstring>> ProcessesAnyway() {
    try {
        std::vector<std::wstring> names;
        modTask::WalkProcessNames([&](const std::wstring& name) { names.push_back(UpperForList(name)); },
                                  modTask::SystemSnapshotApi());
        return names;
    } catch (...) {
        return std::nullopt;
    }
}

int RunChecked(HINSTANCE instance, Check& check) {
    if (!check.line.refused.empty()) {
        check.findings.error = {L"usage", kUsageNumber, kProgramSource, check.line.refused + L"\r\n\r\n" + UsageText(),
                                std::nullopt};
        return Finish(check, checkexit::BadCommandLine);
    }
    lastword::Prepare(check.output, check.line.json, check.findings);
    StartBackground(check);
    watchdog::SetUnattended({&Hung, &CrashedUnguarded});
    watchdog::SetThreshold(check.line.timeoutSeconds * 1000);
    watchdog::Start();

    const HRESULT initialized = OleInitialize(nullptr);
    const unique_oleuninitialize_call ole(initialized);
    std::unique_ptr<Form1> form;
    try {
        ThrowIfFailed(initialized, kProgramSource);
        INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_STANDARD_CLASSES};
        InitCommonControlsEx(&controls);
        form = Form1::Create(instance, 0, [](HWND, const NumberedError& error) { Reported(error); });
    } catch (...) {
        const NumberedError error = CaughtError();
        Describe(check);
        check.findings.error = {L"create", error.Number(), error.Source(), error.Description(), std::nullopt};
        return Finish(check, checkexit::NotCreated);
    }
    check.form = form.get();
    DispatchPending(*form);
    if (Press(*form, IDC_COMMAND1) && Press(*form, IDC_COMMAND2)) {
        form->Describe(check.findings);
        check.findings.processes = ListItems(form->Control(IDC_LIST1));
    } else {
        check.findings.processes = ProcessesAnyway();
    }
    // The control goes before the report: a crash or a hang in its teardown is reported too.
    check.form = nullptr;
    form.reset();
    return Finish(check, check.findings.error ? checkexit::MemberError : checkexit::Answered);
}

}  // namespace

int RunCheck(HINSTANCE instance, const CommandLine& line) noexcept {
    try {
        // For the process's lifetime: the watch's thread and the background reader may still
        // hold it when the run ends on a crash or a hang.
        static std::optional<Check> running;
        Check& check = running.emplace(line);
        g_check = &check;
        StampFindings(check.findings);
        if (!OpenOutput(check)) return checkexit::NotWritten;
        return RunChecked(instance, check);
    } catch (...) {
        Complain(L"The check could not be made: out of memory.");
        return checkexit::NotWritten;
    }
}
