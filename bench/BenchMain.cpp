// talvo_bench: the program's costs measured side by side with the bare platform calls it makes.
//   talvo_bench [--get-rounds N] [--list-rounds N] [--start-rounds N] [--check-rounds N]
//               [--processes N] [--only start|check|get|list]...
#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cwchar>

#include "Bench.h"

namespace bench {

bool Options::Runs(const wchar_t* section) const {
    return only.empty() || std::find(only.begin(), only.end(), section) != only.end();
}

double NowUs() {
    static const double perUs = [] {
        LARGE_INTEGER frequency{};
        QueryPerformanceFrequency(&frequency);
        return static_cast<double>(frequency.QuadPart) / 1e6;
    }();
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / perUs;
}

double Samples::Median() const {
    if (values.empty()) return NAN;
    std::vector<double> sorted(values);
    std::sort(sorted.begin(), sorted.end());
    const size_t middle = sorted.size() / 2;
    return sorted.size() % 2 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
}

double Samples::Min() const { return values.empty() ? NAN : *std::min_element(values.begin(), values.end()); }

std::vector<Samples> Interleave(int rounds, const std::vector<std::function<void()>>& sides,
                                const std::function<void()>& between, const std::function<void()>& beforeEach) {
    std::vector<Samples> samples(sides.size());
    for (Samples& s : samples) s.values.reserve(static_cast<size_t>(rounds));
    for (int round = 0; round < rounds; ++round) {
        for (size_t k = 0; k < sides.size(); ++k) {
            const size_t side = (static_cast<size_t>(round) + k) % sides.size();
            if (beforeEach) beforeEach();
            const double start = NowUs();
            sides[side]();
            samples[side].values.push_back(NowUs() - start);
        }
        if (between) between();
    }
    return samples;
}

void PumpMessages() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

std::wstring OwnFolder() {
    std::wstring path(32768, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    path.resize(length);
    path.erase(path.find_last_of(L'\\') + 1);
    return path;
}

void ScriptStandIn() {
    SetEnvironmentVariableW(L"TALVO_STANDIN_60030001", L"str:10.0.0.1");
    SetEnvironmentVariableW(L"TALVO_STANDIN_60030002", L"str:00-1A-2B-3C-4D-5E");
    SetEnvironmentVariableW(L"TALVO_STANDIN_60030005", L"str:Running");
    SetEnvironmentVariableW(L"TALVO_STANDIN_LOG", nullptr);
}

std::string Narrow(const std::wstring& text) {
    if (text.empty()) return {};
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
    return out;
}

namespace {

std::string Number(double value) {
    if (std::isnan(value)) return "n/a";
    char text[32];
    if (value >= 100)
        std::snprintf(text, sizeof text, "%.0f", value);
    else
        std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

}  // namespace

void Table::Print() const {
    std::printf("\n%-50s %-4s %9s %9s %6s %9s %9s  %s\n", "operation", "unit", "ours", "bare", "ratio", "ours min",
                "bare min", "target");
    std::printf("%s\n", std::string(114, '-').c_str());
    for (const Row& row : rows_) {
        const double ratio = row.bare > 0 ? row.ours / row.bare : NAN;
        char ratioText[16];
        if (std::isnan(ratio))
            std::snprintf(ratioText, sizeof ratioText, "n/a");
        else
            std::snprintf(ratioText, sizeof ratioText, "%.2f", ratio);
        const bool hasMin = row.oursMin >= 0 && row.bareMin >= 0;
        std::printf("%-50s %-4s %9s %9s %6s %9s %9s  %s\n", row.name.c_str(), row.unit.c_str(),
                    Number(row.ours).c_str(), Number(row.bare).c_str(), ratioText,
                    hasMin ? Number(row.oursMin).c_str() : "", hasMin ? Number(row.bareMin).c_str() : "",
                    row.target.c_str());
    }
    if (!notes_.empty()) std::printf("\n");
    for (const std::string& note : notes_) std::printf("%s\n", note.c_str());
    std::fflush(stdout);
}

}  // namespace bench

namespace {

bool ParseCount(const wchar_t* text, int& out) {
    wchar_t* end = nullptr;
    const long value = std::wcstol(text, &end, 10);
    if (end == text || *end != L'\0' || value < 1 || value > 1000000) return false;
    out = static_cast<int>(value);
    return true;
}

bool IsSection(const wchar_t* name) {
    for (const wchar_t* section : {L"start", L"check", L"get", L"list"})
        if (std::wcscmp(name, section) == 0) return true;
    return false;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    bench::Options options;
    for (int i = 1; i < argc; ++i) {
        const std::wstring flag = argv[i];
        const wchar_t* value = i + 1 < argc ? argv[i + 1] : nullptr;
        bool ok = value != nullptr;
        if (ok && flag == L"--get-rounds")
            ok = ParseCount(value, options.getRounds);
        else if (ok && flag == L"--list-rounds")
            ok = ParseCount(value, options.listRounds);
        else if (ok && flag == L"--start-rounds")
            ok = ParseCount(value, options.startRounds);
        else if (ok && flag == L"--check-rounds")
            ok = ParseCount(value, options.checkRounds);
        else if (ok && flag == L"--processes")
            ok = ParseCount(value, options.processes);
        else if (ok && flag == L"--only" && IsSection(value))
            options.only.emplace_back(value);
        else
            ok = false;
        if (!ok) {
            std::fprintf(stderr,
                         "usage: talvo_bench [--get-rounds N] [--list-rounds N] [--start-rounds N] "
                         "[--check-rounds N] [--processes N] [--only start|check|get|list]...\n");
            return 2;
        }
        ++i;
    }

    bench::Table table;
    bool measured = true;
    // Start-up and the whole /check runs first, while the machine is quiet; the process list
    // last, with its crowd.
    if (options.Runs(L"start")) measured &= bench::MeasureStartup(options, table);
    if (options.Runs(L"check")) measured &= bench::MeasureCheck(options, table);
    if (options.Runs(L"get")) measured &= bench::MeasureGet(options, table);
    if (options.Runs(L"list")) measured &= bench::MeasureProcessList(options, table);
    table.Print();
    return measured ? 0 : 1;
}
