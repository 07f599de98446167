// Command2 with a crowd of idle processes running, against the bare snapshot walk, the
// upper-casing and LB_ADDSTRING into a hidden list box with redraw off.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "BareCalls.h"
#include "Bench.h"
#include "HostedForm.h"
#include "ProcessListCommand.h"
#include "Unique.h"

namespace bench {

namespace {

constexpr DWORD kReadyTimeoutMs = 60000;
constexpr DWORD kStopTimeoutMs = 30000;

double AvailableMiB() {
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof(status);
    GlobalMemoryStatusEx(&status);
    return static_cast<double>(status.ullAvailPhys) / (1024.0 * 1024.0);
}

// Idle processes that wait for our stop event, or for this process to end however it ends.
// All of them are ended when the crowd goes, by their handles, on every way out.
class IdleCrowd {
public:
    explicit IdleCrowd(int count) {
        SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
        stop_.reset(CreateEventW(&inherit, TRUE, FALSE, nullptr));
        ready_.reset(CreateSemaphoreW(&inherit, 0, count, nullptr));
        HANDLE self = nullptr;
        DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &self, SYNCHRONIZE, TRUE, 0);
        parent_.reset(self);
        if (!stop_ || !ready_ || !parent_) return;

        const std::wstring program = OwnFolder() + L"talvo_bench_idle.exe";
        const std::wstring arguments = L" " + std::to_wstring(reinterpret_cast<ULONG_PTR>(stop_.get())) + L" " +
                                       std::to_wstring(reinterpret_cast<ULONG_PTR>(parent_.get())) + L" " +
                                       std::to_wstring(reinterpret_cast<ULONG_PTR>(ready_.get()));
        processes_.reserve(static_cast<size_t>(count));
        const double before = AvailableMiB();
        const double start = NowUs();
        for (int i = 0; i < count; ++i) {
            std::wstring commandLine = L"\"" + program + L"\"" + arguments;
            STARTUPINFOW startup{};
            startup.cb = sizeof(startup);
            PROCESS_INFORMATION info{};
            if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                &startup, &info)) {
                std::fprintf(stderr, "talvo_bench: list: process %d did not start (error %lu)\n", i + 1,
                             GetLastError());
                break;
            }
            CloseHandle(info.hThread);
            processes_.emplace_back(info.hProcess);
        }
        for (size_t i = 0; i < processes_.size(); ++i) {
            if (WaitForSingleObject(ready_.get(), kReadyTimeoutMs) != WAIT_OBJECT_0) {
                std::fprintf(stderr, "talvo_bench: list: only %zu of %zu processes came up\n", i, processes_.size());
                break;
            }
            ++ready_count_;
        }
        startSeconds_ = (NowUs() - start) / 1e6;
        Sleep(500);  // let the memory figure settle
        memoryMiB_ = before - AvailableMiB();
    }
    IdleCrowd(const IdleCrowd&) = delete;
    IdleCrowd& operator=(const IdleCrowd&) = delete;
    ~IdleCrowd() {
        if (stop_) SetEvent(stop_.get());
        const DWORD deadline = GetTickCount() + kStopTimeoutMs;
        size_t leftRunning = 0;
        for (unique_handle& process : processes_) {
            const DWORD now = GetTickCount();
            const DWORD left = static_cast<LONG>(deadline - now) > 0 ? deadline - now : 0;
            if (WaitForSingleObject(process.get(), left) != WAIT_OBJECT_0) {
                TerminateProcess(process.get(), 1);
                if (WaitForSingleObject(process.get(), 5000) != WAIT_OBJECT_0) ++leftRunning;
            }
        }
        if (leftRunning != 0) std::fprintf(stderr, "talvo_bench: list: %zu idle processes left running\n", leftRunning);
    }

    int Ready() const { return ready_count_; }
    double StartSeconds() const { return startSeconds_; }
    double MemoryMiB() const { return memoryMiB_; }

private:
    unique_handle stop_, ready_, parent_;
    std::vector<unique_handle> processes_;
    int ready_count_ = 0;
    double startSeconds_ = 0;
    double memoryMiB_ = 0;
};

void BareProcessList(HWND list) {
    SendMessageW(list, WM_SETREDRAW, FALSE, 0);
    SendMessageW(list, LB_RESETCONTENT, 0, 0);
    ForEachUpperCasedProcess(
        [list](const wchar_t* upper) { SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(upper)); });
    SendMessageW(list, WM_SETREDRAW, TRUE, 0);
}

}  // namespace

bool MeasureProcessList(const Options& options, Table& table) {
    HostedForm hosted;
    if (!hosted.Check("list")) return false;
    Form1& form = hosted.form();
    HWND button = form.Control(IDC_COMMAND2);
    HWND list1 = form.Control(IDC_LIST1);

    // The bare side's list: the same kind and size as List1, hidden.
    RECT size{};
    GetClientRect(list1, &size);
    unique_hwnd holder(CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 100, 100, nullptr, nullptr,
                                       GetModuleHandleW(nullptr), nullptr));
    HWND bareList = CreateWindowExW(WS_EX_CLIENTEDGE, L"LISTBOX", L"",
                                    WS_CHILD | WS_VSCROLL | LBS_NOTIFY | LBS_HASSTRINGS | LBS_NOINTEGRALHEIGHT, 0, 0,
                                    size.right, size.bottom, holder.get(), nullptr, GetModuleHandleW(nullptr), nullptr);
    if (!holder || !bareList) {
        std::fprintf(stderr, "talvo_bench: list: the bare list box could not be made\n");
        return false;
    }
    SendMessageW(bareList, WM_SETFONT, SendMessageW(list1, WM_GETFONT, 0, 0), FALSE);

    const IdleCrowd crowd(options.processes);
    if (crowd.Ready() == 0) return false;

    // The last two split the difference: the program's code into the bare side's hidden list,
    // and the bare calls into the program's visible List1.
    const std::vector<std::function<void()>> sides = {
        [button] { SendMessageW(button, BM_CLICK, 0, 0); },
        [&form, button] {
            SendMessageW(form.Window(), WM_COMMAND, MAKEWPARAM(IDC_COMMAND2, BN_CLICKED),
                         reinterpret_cast<LPARAM>(button));
        },
        [bareList] { BareProcessList(bareList); },
        [bareList] { ProcessListCommand(bareList); },
        [list1] { BareProcessList(list1); },
    };
    Interleave(5, sides, PumpMessages);
    SendMessageW(button, BM_CLICK, 0, 0);
    const auto oursItems = SendMessageW(list1, LB_GETCOUNT, 0, 0);
    BareProcessList(bareList);
    const auto bareItems = SendMessageW(bareList, LB_GETCOUNT, 0, 0);
    const std::vector<Samples> samples = Interleave(options.listRounds, sides, PumpMessages);
    if (!hosted.Check("list")) return false;

    const std::string suffix = ", " + std::to_string(oursItems) + " processes";
    auto row = [&](std::string name, size_t ours, size_t bare, std::string target) {
        table.Add({std::move(name), "us", samples[ours].Median(), samples[bare].Median(), samples[ours].Min(),
                   samples[bare].Min(), std::move(target)});
    };
    // As for "Get": the program is handed WM_COMMAND; the button's click work is shown apart.
    row("Command2 (the click's WM_COMMAND)" + suffix, 1, 2, "<= 1.10");
    row("  with the button's own click work (BM_CLICK)", 0, 2, "");
    row("  program's fill into the hidden list", 3, 2, "");
    row("  bare fill, into List1 vs the hidden list", 4, 2, "");
    table.Add({"Command2 items per second", "k/s", static_cast<double>(oursItems) / samples[1].Median() * 1e3,
               static_cast<double>(bareItems) / samples[2].Median() * 1e3, -1, -1, ">= 0.91"});

    char note[256];
    std::snprintf(note, sizeof note,
                  "Command2: %d idle processes started in %.1f s, about %.1f MiB of memory each; "
                  "%ld items listed by the program, %ld by the bare walk; %d interleaved rounds.",
                  crowd.Ready(), crowd.StartSeconds(), crowd.MemoryMiB() / crowd.Ready(), static_cast<long>(oursItems),
                  static_cast<long>(bareItems), options.listRounds);
    table.Note(note);
    return true;
}

}  // namespace bench
