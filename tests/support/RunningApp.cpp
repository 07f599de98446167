#include "RunningApp.h"

#include <algorithm>
#include <vector>

#include "ControlIds.h"

namespace {

constexpr DWORD kPoll = 20;
constexpr UINT kSendTimeout = 30000;

struct FindContext {
    DWORD processId;
    const wchar_t* className;
    const wchar_t* caption;
    HWND found;
};

BOOL CALLBACK FindTopLevel(HWND window, LPARAM param) {
    auto* context = reinterpret_cast<FindContext*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != context->processId) return TRUE;
    wchar_t className[64] = {};
    GetClassNameW(window, className, 64);
    if (lstrcmpW(className, context->className) != 0) return TRUE;
    if (context->caption != nullptr) {
        wchar_t caption[256] = {};
        GetWindowTextW(window, caption, 256);
        if (lstrcmpW(caption, context->caption) != 0) return TRUE;
    }
    context->found = window;
    return FALSE;
}

BOOL CALLBACK FindVisible(HWND window, LPARAM param) {
    auto* context = reinterpret_cast<FindContext*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != context->processId || !IsWindowVisible(window)) return TRUE;
    context->found = window;
    return FALSE;
}

}  // namespace

FinishedRun RunToEnd(const std::wstring& arguments, DWORD timeoutMs) {
    FinishedRun run;
    SECURITY_ATTRIBUTES inherited{sizeof(inherited), nullptr, TRUE};
    HANDLE read = nullptr, write = nullptr;
    if (!CreatePipe(&read, &write, &inherited, 0)) return run;
    unique_handle reading(read), writing(write);
    SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
    std::wstring commandLine = L"\"" + RunningApp::ProgramPath() + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = write;
    startup.hStdError = write;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info))
        return run;
    CloseHandle(info.hThread);
    const unique_handle process(info.hProcess);
    writing.reset();
    // Read as it comes, never blocking: whatever else may hold the pipe open, the run ends.
    const auto drain = [&] {
        char buffer[4096];
        DWORD available = 0, got = 0;
        while (PeekNamedPipe(read, nullptr, 0, nullptr, &available, nullptr) && available > 0 &&
               ReadFile(read, buffer, std::min<DWORD>(available, sizeof(buffer)), &got, nullptr) && got > 0)
            run.output.append(buffer, got);
    };
    const ULONGLONG start = GetTickCount64();
    while (WaitForSingleObject(process.get(), kPoll) == WAIT_TIMEOUT) {
        drain();
        FindContext context{info.dwProcessId, nullptr, nullptr, nullptr};
        EnumWindows(FindVisible, reinterpret_cast<LPARAM>(&context));
        run.windowShown = run.windowShown || context.found != nullptr;
        if (GetTickCount64() - start > timeoutMs) {
            TerminateProcess(process.get(), 255);
            WaitForSingleObject(process.get(), 10000);
            drain();
            return run;
        }
    }
    drain();
    DWORD code = 0;
    if (GetExitCodeProcess(process.get(), &code)) run.exitCode = code;
    return run;
}

std::wstring RunningApp::ProgramPath() {
    std::vector<wchar_t> self(32768);
    const DWORD length = GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
    std::wstring path(self.data(), length);
    path.erase(path.find_last_of(L'\\') + 1);
    return path + L"Test OCX TALVO.exe";
}

RunningApp::RunningApp(const std::wstring& program) {
    std::wstring commandLine = L"\"" + program + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNOACTIVATE;
    PROCESS_INFORMATION info{};
    if (CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
        CloseHandle(info.hThread);
        process_.reset(info.hProcess);
        processId_ = info.dwProcessId;
    }
}

RunningApp::~RunningApp() {
    if (process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) {
        TerminateProcess(process_.get(), 255);
        WaitForSingleObject(process_.get(), 10000);
    }
}

HWND RunningApp::FindWindowOf(const wchar_t* className, const wchar_t* caption) const {
    FindContext context{processId_, className, caption, nullptr};
    EnumWindows(FindTopLevel, reinterpret_cast<LPARAM>(&context));
    return context.found;
}

HWND RunningApp::WaitForForm(DWORD timeoutMs) {
    if (!process_) return nullptr;
    WaitForInputIdle(process_.get(), timeoutMs);
    for (DWORD waited = 0; waited <= timeoutMs; waited += kPoll) {
        // Shown only once every control and the hosted control are in place.
        HWND form = FindWindowOf(kForm1ClassName, nullptr);
        if (form != nullptr && IsWindowVisible(form)) return form_ = form;
        if (WaitForSingleObject(process_.get(), kPoll) == WAIT_OBJECT_0) return nullptr;
    }
    return nullptr;
}

HWND RunningApp::WaitForMessageBox(DWORD timeoutMs) {
    if (!process_) return nullptr;
    for (DWORD waited = 0; waited <= timeoutMs; waited += kPoll) {
        // Ready once shown: before that its texts may not be set yet.
        HWND box = FindWindowOf(L"#32770", nullptr);
        if (box != nullptr && IsWindowVisible(box) && GetDlgItem(box, 0xFFFF) != nullptr) return box;
        if (WaitForSingleObject(process_.get(), kPoll) == WAIT_OBJECT_0) return nullptr;
    }
    return nullptr;
}

bool RunningApp::Press(int controlId) {
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(Child(controlId), BM_CLICK, 0, 0, SMTO_NORMAL, kSendTimeout, &result) != 0;
}

bool RunningApp::PostPress(int controlId) { return PostMessageW(Child(controlId), BM_CLICK, 0, 0) != 0; }

std::wstring RunningApp::Text(HWND window) const {
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_NORMAL, kSendTimeout, &length)) return L"<no answer>";
    std::wstring text(length + 1, L'\0');
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()), SMTO_NORMAL,
                             kSendTimeout, &copied))
        return L"<no answer>";
    text.resize(copied);
    return text;
}

std::optional<DWORD> RunningApp::Close(DWORD timeoutMs) {
    if (form_) PostMessageW(form_, WM_CLOSE, 0, 0);
    return WaitForExit(timeoutMs);
}

std::optional<DWORD> RunningApp::WaitForExit(DWORD timeoutMs) {
    if (!process_ || WaitForSingleObject(process_.get(), timeoutMs) != WAIT_OBJECT_0) return std::nullopt;
    DWORD code = 0;
    GetExitCodeProcess(process_.get(), &code);
    return code;
}

std::wstring MessageBoxText(HWND box) {
    wchar_t caption[256] = {};
    GetWindowTextW(box, caption, 256);
    // The message is the static control with the id message boxes give it.
    HWND message = GetDlgItem(box, 0xFFFF);
    std::wstring text;
    if (message) {
        DWORD_PTR length = 0;
        SendMessageTimeoutW(message, WM_GETTEXTLENGTH, 0, 0, SMTO_NORMAL, kSendTimeout, &length);
        text.assign(length + 1, L'\0');
        DWORD_PTR copied = 0;
        SendMessageTimeoutW(message, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()), SMTO_NORMAL,
                            kSendTimeout, &copied);
        text.resize(copied);
    }
    return std::wstring(caption) + L"\n" + text;
}
