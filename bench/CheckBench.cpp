// A whole unattended run of the program, `/check /json /out:FILE`, from CreateProcess until the
// process has ended, against a bare program that makes the same calls (start-up, the control
// created, sited and activated, Get's calls, the process walk) and writes nothing.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "Bench.h"
#include "Unique.h"

namespace bench {

namespace {

constexpr DWORD kRunTimeoutMs = 30000;
constexpr DWORD kEndTimeoutMs = 10000;

// The report's file: a name of this run's own in the temporary folder, gone on every way out.
class ReportFile {
public:
    ReportFile() {
        wchar_t folder[MAX_PATH + 1] = {};
        const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
        if (length == 0 || length > MAX_PATH) return;
        path_ =
            std::wstring(folder, length) + L"talvo-bench-check-" + std::to_wstring(GetCurrentProcessId()) + L".json";
    }
    ReportFile(const ReportFile&) = delete;
    ReportFile& operator=(const ReportFile&) = delete;
    ~ReportFile() { Remove(); }

    const std::wstring& Path() const { return path_; }
    void Remove() const {
        if (!path_.empty()) DeleteFileW(path_.c_str());
    }
    // -1 when there is no such file.
    long long Size() const {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        if (path_.empty() || !GetFileAttributesExW(path_.c_str(), GetFileExInfoStandard, &data)) return -1;
        return static_cast<long long>((static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
    }

private:
    std::wstring path_;
};

struct Run {
    double ms = -1;  // negative: it did not start, or did not end in time
    DWORD exitCode = 0;
};

// Starts the program and waits for it to end. One still running at the time-out is ended by
// its handle and counts as not measured.
Run RunToEnd(const std::wstring& program, const std::wstring& arguments, const char* what) {
    Run run;
    std::wstring commandLine = L"\"" + program + L"\"" + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    const double start = NowUs();
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info)) {
        std::fprintf(stderr, "talvo_bench: check: %s did not start (error %lu)\n", what, GetLastError());
        return run;
    }
    const double ended = WaitForSingleObject(info.hProcess, kRunTimeoutMs) == WAIT_OBJECT_0 ? NowUs() : -1;
    CloseHandle(info.hThread);
    const unique_handle process(info.hProcess);
    if (ended < 0) {
        std::fprintf(stderr, "talvo_bench: check: %s had not ended after %lu s\n", what, kRunTimeoutMs / 1000);
        TerminateProcess(process.get(), 255);
        if (WaitForSingleObject(process.get(), kEndTimeoutMs) != WAIT_OBJECT_0)
            std::fprintf(stderr, "talvo_bench: check: %s left running\n", what);
        return run;
    }
    GetExitCodeProcess(process.get(), &run.exitCode);
    run.ms = (ended - start) / 1000.0;
    return run;
}

}  // namespace

bool MeasureCheck(const Options& options, Table& table) {
    ScriptStandIn();
    const ReportFile report;
    if (report.Path().empty()) {
        std::fprintf(stderr, "talvo_bench: check: no temporary folder\n");
        return false;
    }
    const std::wstring program = OwnFolder() + L"Test OCX TALVO.exe";
    // Quoted only when the path needs it, as one would type it.
    const std::wstring out = L"/out:" + report.Path();
    const std::wstring arguments =
        L" /check /json " + (out.find_first_of(L" \t") == std::wstring::npos ? out : L"\"" + out + L"\"");
    const std::wstring bareProgram = OwnFolder() + L"talvo_bench_bare_check.exe";

    // Like for like, every run: the program ended with 0 having written its report, the bare
    // side with 0 having had every call answered. After a failure the rest are not run.
    bool failed = false;
    Samples ours, bare;
    const auto runOurs = [&] {
        if (failed) return;
        report.Remove();
        const Run run = RunToEnd(program, arguments, "the program");
        const long long size = report.Size();
        if (run.ms < 0 || run.exitCode != 0 || size <= 0) {
            if (run.ms >= 0)
                std::fprintf(stderr, "talvo_bench: check: the program ended with 0x%08lX and a report of %lld bytes\n",
                             run.exitCode, size < 0 ? 0 : size);
            failed = true;
            return;
        }
        ours.values.push_back(run.ms);
    };
    const auto runBare = [&] {
        if (failed) return;
        const Run run = RunToEnd(bareProgram, L"", "the bare run");
        if (run.ms < 0 || run.exitCode != 0) {
            if (run.ms >= 0) std::fprintf(stderr, "talvo_bench: check: the bare run ended with %lu\n", run.exitCode);
            failed = true;
            return;
        }
        bare.values.push_back(run.ms);
    };
    Interleave(1, {runOurs, runBare});  // the first run of each pays for loading from disk
    ours.values.clear();
    bare.values.clear();
    Interleave(options.checkRounds, {runOurs, runBare});
    if (failed) return false;

    table.Add({"/check /json, whole run", "ms", ours.Median(), bare.Median(), ours.Min(), bare.Min(), "<= 1.15"});
    table.Note("/check: " + std::to_string(options.checkRounds) +
               " interleaved runs per side after one warm-up, each from CreateProcess until the process ended; the "
               "program writes its report to a file in the temporary folder. \"bare\" is Form1's window, hidden, "
               "with the stand-in created, sited and activated by the bare calls, then Get's four Invokes and "
               "registry look-up and the process walk upper-cased, writing nothing (talvo_bench_bare_check.exe). "
               "Stand-in answers scripted (str:); HKLM as the prefix holds it.");
    return true;
}

}  // namespace bench
