// Start-up of the built program, from CreateProcess until Form1 is visible (shown only once
// every control and the hosted control are in place), against the same window and control
// made with the bare calls, and against a bare window of the same size with no control; then
// the program's size on disk and its private bytes once up.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "Bench.h"
#include "ControlIds.h"
#include "Unique.h"

namespace bench {

namespace {

constexpr DWORD kShowTimeoutMs = 30000;
constexpr DWORD kCloseTimeoutMs = 10000;
constexpr wchar_t kBareClassName[] = L"TalvoBenchBare";
constexpr wchar_t kBareControlClassName[] = L"TalvoBenchBareControl";

struct FindContext {
    DWORD processId;
    const wchar_t* className;
    HWND found;
};

BOOL CALLBACK FindShown(HWND window, LPARAM param) {
    auto* context = reinterpret_cast<FindContext*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != context->processId || !IsWindowVisible(window)) return TRUE;
    wchar_t className[64] = {};
    GetClassNameW(window, className, 64);
    if (lstrcmpW(className, context->className) != 0) return TRUE;
    context->found = window;
    return FALSE;
}

// Committed private memory of a process: Wine's own counters answer 0.
double PrivateKiB(HANDLE process) {
    SYSTEM_INFO system{};
    GetSystemInfo(&system);
    double total = 0;
    MEMORY_BASIC_INFORMATION region{};
    for (auto* at = static_cast<BYTE*>(system.lpMinimumApplicationAddress);
         at < static_cast<BYTE*>(system.lpMaximumApplicationAddress);
         at = static_cast<BYTE*>(region.BaseAddress) + region.RegionSize) {
        if (VirtualQueryEx(process, at, &region, sizeof(region)) != sizeof(region) || region.RegionSize == 0) break;
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) total += static_cast<double>(region.RegionSize);
    }
    return total / 1024.0;
}

struct Launch {
    double showMs = -1;  // negative: the window never showed
    double privateKiB = 0;
};

// Starts the program, times it to its window shown, measures its memory once it has gone idle,
// and closes it (or ends it, by its handle, when it will not close).
Launch StartOnce(const std::wstring& program, const wchar_t* className) {
    Launch launch;
    std::wstring commandLine = L"\"" + program + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNOACTIVATE;
    PROCESS_INFORMATION info{};
    const double start = NowUs();
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info))
        return launch;
    CloseHandle(info.hThread);
    const unique_handle process(info.hProcess);

    FindContext context{info.dwProcessId, className, nullptr};
    const DWORD began = GetTickCount();
    while (GetTickCount() - began < kShowTimeoutMs) {
        EnumWindows(FindShown, reinterpret_cast<LPARAM>(&context));
        if (context.found != nullptr) break;
        if (WaitForSingleObject(process.get(), 1) == WAIT_OBJECT_0) break;
    }
    if (context.found != nullptr) {
        launch.showMs = (NowUs() - start) / 1000.0;
        WaitForInputIdle(process.get(), kShowTimeoutMs);
        Sleep(200);  // whatever the window does right after showing itself
        launch.privateKiB = PrivateKiB(process.get());
        PostMessageW(context.found, WM_CLOSE, 0, 0);
    }
    if (WaitForSingleObject(process.get(), context.found ? kCloseTimeoutMs : 0) != WAIT_OBJECT_0) {
        TerminateProcess(process.get(), 255);
        WaitForSingleObject(process.get(), kCloseTimeoutMs);
    }
    return launch;
}

double FileKiB(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return -1;
    return static_cast<double>((static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow) / 1024.0;
}

}  // namespace

bool MeasureStartup(const Options& options, Table& table) {
    struct Side {
        std::wstring program;
        const wchar_t* className;
        const char* what;
        std::vector<Launch> launches;
        Samples show, memory;
    };
    Side sides[] = {
        {OwnFolder() + L"Test OCX TALVO.exe", kForm1ClassName, "the program", {}, {}, {}},
        {OwnFolder() + L"talvo_bench_bare_control.exe", kBareControlClassName, "the bare control", {}, {}, {}},
        {OwnFolder() + L"talvo_bench_bare.exe", kBareClassName, "the bare window", {}, {}, {}},
    };
    std::vector<std::function<void()>> starts;
    for (Side& side : sides)
        starts.push_back([&side] { side.launches.push_back(StartOnce(side.program, side.className)); });
    Interleave(1, starts);  // the first start of each pays for loading from disk
    for (Side& side : sides) side.launches.clear();
    Interleave(options.startRounds, starts);

    bool measured = true;
    for (Side& side : sides) {
        for (const Launch& launch : side.launches) {
            if (launch.showMs < 0) continue;
            side.show.values.push_back(launch.showMs);
            side.memory.values.push_back(launch.privateKiB);
        }
        if (side.show.values.size() < side.launches.size())
            std::fprintf(stderr, "talvo_bench: start: %s did not show its window every time\n", side.what);
        measured &= !side.show.values.empty();
    }
    if (!measured) return false;

    const Side& ours = sides[0];
    const Side& control = sides[1];
    const Side& bare = sides[2];
    table.Add({"Start-up to the window shown, control active", "ms", ours.show.Median(), control.show.Median(),
               ours.show.Min(), control.show.Min(), "<= 1.10"});
    table.Add({"Start-up to the window shown, vs no control", "ms", ours.show.Median(), bare.show.Median(),
               ours.show.Min(), bare.show.Min(), "reported"});
    table.Add({".exe size on disk", "KiB", FileKiB(ours.program), FileKiB(bare.program), -1, -1, "reported"});
    table.Add({"Private bytes after start-up", "KiB", ours.memory.Median(), bare.memory.Median(), ours.memory.Min(),
               bare.memory.Min(), "reported"});
    table.Note("Start-up: " + std::to_string(options.startRounds) +
               " interleaved starts per side after one warm-up. \"bare\" is, in the first row, Form1's window and "
               "children with the stand-in created, sited and activated by the bare calls "
               "(talvo_bench_bare_control.exe), and in the others a window of Form1's size with no control "
               "(talvo_bench_bare.exe). Private bytes: committed MEM_PRIVATE regions (VirtualQueryEx), 200 ms "
               "after the program went idle.");
    return true;
}

}  // namespace bench
