#include "CopyReport.h"

#include <cwchar>
#include <iterator>
#include <string>

#include "ControlDiagnosis.h"
#include "GrowingBuffer.h"
#include "NumberedError.h"
#include "Program.h"
#include "Unique.h"
#include "VersionRecord.h"

namespace {

constexpr wchar_t kNotKnown[] = L"(unknown)";

std::wstring OrNotKnown(const std::wstring& text) { return text.empty() ? kNotKnown : text; }

// The running program's version, a.b.c.d from its version record.
std::wstring OwnVersion() {
    const auto path = ModulePath(nullptr);
    if (!path) return kNotKnown;
    return OrNotKnown(VersionRecord(path->c_str()).FixedVersion());
}

std::wstring Stamp(const SYSTEMTIME& at) {
    wchar_t text[32];
    wsprintfW(text, L"%04u-%02u-%02u %02u:%02u:%02u", at.wYear, at.wMonth, at.wDay, at.wHour, at.wMinute, at.wSecond);
    return text;
}

// A line per fact; texts are shown cut at a NUL, as the window shows them.
void Line(std::wstring& report, const wchar_t* name, const std::wstring& value) {
    report += name;
    report += L": ";
    report += value.substr(0, value.find(L'\0'));
    report += L"\r\n";
}

}  // namespace

std::wstring ComposeReport(const ShownTexts& shown, std::wstring_view progId, const RegisteredControl& control,
                           const SYSTEMTIME& at) {
    std::wstring report = std::wstring(kProgramName) + L" " + OwnVersion() + L"\r\n";
    Line(report, L"Date", Stamp(at));
    Line(report, L"Control", std::wstring(progId));
    Line(report, L"CLSID", control.clsid.empty() ? L"(not registered)" : control.clsid);
    Line(report, L"File", OrNotKnown(control.file));
    Line(report, L"File version", OrNotKnown(control.version));
    Line(report, L"Company", OrNotKnown(control.company));
    static constexpr const wchar_t* kLabels[] = {L"Label2", L"Label3", L"Label4", L"Label5"};
    for (int i = 0; i < 4; ++i) Line(report, kLabels[i], shown.labels[i]);
    Line(report, L"Caption", shown.caption);
    Line(report, L"List1 items", std::to_wstring(shown.listItems));
    for (const ShownTexts::Timing& timing : shown.timings) {
        wchar_t ms[32];
        std::swprintf(ms, std::size(ms), L"%.1f ms", timing.ms);
        Line(report, timing.what.c_str(), ms);
    }
    return report;
}
