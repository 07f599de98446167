#include "Findings.h"

#include <algorithm>
#include <cmath>
#include <cwchar>
#include <iterator>
#include <nlohmann/json.hpp>

#include "ControlDiagnosis.h"
#include "GrowingBuffer.h"
#include "Program.h"
#include "Readout.h"
#include "Text.h"
#include "VersionRecord.h"

namespace {

using Json = nlohmann::ordered_json;

constexpr const wchar_t* kLabelNames[] = {L"Label2", L"Label3", L"Label4", L"Label5"};

std::wstring MemberName(DISPID member) {
    wchar_t text[16];
    std::swprintf(text, std::size(text), L"0x%08X", static_cast<unsigned>(member));
    return text;
}

// 2026-12-09T21:15:03+01:00: local time with its offset, so a table of many machines sorts.
std::wstring IsoTime(const SYSTEMTIME& at, LONG offsetMinutes) {
    const LONG offset = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
    wchar_t text[40];
    std::swprintf(text, std::size(text), L"%04u-%02u-%02uT%02u:%02u:%02u%c%02ld:%02ld", at.wYear, at.wMonth, at.wDay,
                  at.wHour, at.wMinute, at.wSecond, offsetMinutes < 0 ? L'-' : L'+', offset / 60, offset % 60);
    return text;
}

// Text as JSON: UTF-8 inside, escaped to ASCII when written; empty is not known.
Json Text(const std::wstring& text) { return ToUtf8(text); }
Json TextOrNull(const std::wstring& text) { return text.empty() ? Json() : Text(text); }
template <typename T, typename Convert>
Json OrNull(const std::optional<T>& value, Convert convert) {
    return value ? convert(*value) : Json();
}
Json Texts(const std::vector<std::wstring>& texts) {
    Json list = Json::array();
    std::transform(texts.begin(), texts.end(), std::back_inserter(list), Text);
    return list;
}

using AdapterFinder = const NetworkAdapter* (*)(const MachineFacts&, std::wstring_view);

// The two checks: the adapter of this machine that holds the control's answer. Null when it
// has none, or when the answer or the adapters are not known (then `known` is false).
const NetworkAdapter* Holder(const Findings& findings, DISPID member, AdapterFinder find, bool& known) {
    const std::wstring* answer = AnswerOf(findings, member);
    known = answer != nullptr && findings.machine && findings.machine->adapters;
    return known ? find(*findings.machine, *answer) : nullptr;
}

Json HolderOf(const Findings& findings, DISPID member, AdapterFinder find) {
    bool known = false;
    const NetworkAdapter* adapter = Holder(findings, member, find, known);
    return adapter != nullptr ? Text(adapter->name) : Json();
}

Json MachineJson(const MachineFacts& machine) {
    Json adapters;
    if (machine.adapters) {
        adapters = Json::array();
        std::transform(machine.adapters->begin(), machine.adapters->end(), std::back_inserter(adapters),
                       [](const NetworkAdapter& adapter) -> Json {
                           return {{"name", Text(adapter.name)},       {"description", Text(adapter.description)},
                                   {"mac", OrNull(adapter.mac, Text)}, {"up", adapter.up},
                                   {"ipv4", Texts(adapter.ipv4)},      {"ipv6", Texts(adapter.ipv6)}};
                       });
    }
    return {{"name", OrNull(machine.name, Text)},
            {"windows", OrNull(machine.windows, Text)},
            {"windows64", OrNull(machine.windows64, [](bool is) { return Json(is); })},
            {"adapters", std::move(adapters)}};
}

// A line of "name: value"; texts are cut at a NUL, as a window shows them.
void Line(std::wstring& report, std::wstring_view name, std::wstring_view value) {
    report += name;
    report += L": ";
    report += value.substr(0, value.find(L'\0'));
    report += L"\r\n";
}

std::wstring Joined(const std::vector<std::wstring>& texts) {
    std::wstring joined;
    for (const std::wstring& text : texts) joined += (joined.empty() ? L"" : L", ") + text;
    return joined;
}

std::wstring Ms(double ms) {
    wchar_t text[32];
    std::swprintf(text, std::size(text), L"%.1f ms", ms);
    return text;
}

void MachineText(std::wstring& report, const MachineFacts& machine) {
    if (machine.name) Line(report, L"Computer", *machine.name);
    if (machine.windows)
        Line(report, L"Windows",
             *machine.windows + (machine.windows64 ? (*machine.windows64 ? L", 64-bit" : L", 32-bit") : L""));
    if (!machine.adapters) {
        Line(report, L"Adapters", L"(could not be listed)");
        return;
    }
    for (const NetworkAdapter& adapter : *machine.adapters) {
        std::wstring facts = adapter.up ? L"up" : L"down";
        facts += L", MAC " + adapter.mac.value_or(L"none");
        std::vector<std::wstring> addresses = adapter.ipv4;
        addresses.insert(addresses.end(), adapter.ipv6.begin(), adapter.ipv6.end());
        if (!addresses.empty()) facts += L", " + Joined(addresses);
        if (!adapter.description.empty()) facts += L" (" + adapter.description + L")";
        Line(report, L"Adapter " + adapter.name, facts);
    }
}

// "LocalIP 10.20.30.40: not an address of this machine"; "MAC 02-FC-00-00-00-01: adapter Ethernet".
void CheckText(std::wstring& report, const Findings& findings, const wchar_t* what, DISPID member, AdapterFinder find,
               const wchar_t* notFound) {
    bool known = false;
    const NetworkAdapter* adapter = Holder(findings, member, find, known);
    if (!known) return;
    Line(report, std::wstring(what) + L" " + *AnswerOf(findings, member),
         adapter != nullptr ? L"adapter " + adapter->name : notFound);
}

}  // namespace

Findings::Control ControlNamed(std::wstring_view progId) {
    Findings::Control control;
    control.progId = progId;
    return control;
}

Findings::Control RegisteredFacts(std::wstring_view progId) {
    const RegisteredControl registered = DescribeRegisteredControl(progId);
    return {std::wstring(progId), registered.clsid, registered.file, registered.version, registered.company, false, {}};
}

const std::wstring* AnswerOf(const Findings& findings, DISPID member) {
    const auto first = std::find_if(findings.calls.begin(), findings.calls.end(),
                                    [member](const Findings::Call& call) { return call.member == member; });
    return first != findings.calls.end() && first->answer ? &*first->answer : nullptr;
}

void StampFindings(Findings& findings) {
    SYSTEMTIME utc{};
    GetSystemTime(&utc);
    if (!SystemTimeToTzSpecificLocalTime(nullptr, &utc, &findings.localTime)) findings.localTime = utc;
    FILETIME local{}, universal{};
    if (SystemTimeToFileTime(&findings.localTime, &local) && SystemTimeToFileTime(&utc, &universal)) {
        const auto ticks = [](const FILETIME& at) {
            return static_cast<LONGLONG>((static_cast<ULONGLONG>(at.dwHighDateTime) << 32) | at.dwLowDateTime);
        };
        findings.utcOffsetMinutes = static_cast<LONG>((ticks(local) - ticks(universal)) / (60LL * 10000000));
    }
    if (const auto path = ModulePath(nullptr)) findings.programVersion = VersionRecord(path->c_str()).FixedVersion();
}

std::string FindingsJson(const Findings& findings) {
    Json control;
    if (const auto& c = findings.control)
        control = {{"progId", Text(c->progId)},
                   {"clsid", TextOrNull(c->clsid)},
                   {"file", TextOrNull(c->file)},
                   {"fileVersion", TextOrNull(c->fileVersion)},
                   {"company", TextOrNull(c->company)},
                   {"created", c->created},
                   {"createMs", OrNull(c->createMs, [](double ms) { return Json(std::llround(ms)); })}};
    Json calls = Json::array();
    std::transform(findings.calls.begin(), findings.calls.end(), std::back_inserter(calls),
                   [](const Findings::Call& call) -> Json {
                       return {{"member", Text(MemberName(call.member))},
                               {"answer", OrNull(call.answer, Text)},
                               {"ms", std::llround(call.ms)}};
                   });
    Json labels = Json::object();
    for (size_t i = 0; i < std::size(kLabelNames); ++i)
        labels[ToUtf8(kLabelNames[i])] = OrNull(findings.labels[i], Text);
    Json error;
    if (const auto& e = findings.error)
        error = {{"kind", Text(e->kind)},
                 {"number", e->number},
                 {"source", Text(e->source)},
                 {"description", Text(e->description)},
                 {"member", OrNull(e->member, [](DISPID member) { return Text(MemberName(member)); })}};
    const Json report = {{"program", {{"name", Text(kProgramName)}, {"version", TextOrNull(findings.programVersion)}}},
                         {"time", Text(IsoTime(findings.localTime, findings.utcOffsetMinutes))},
                         {"machine", OrNull(findings.machine, MachineJson)},
                         {"control", std::move(control)},
                         {"calls", std::move(calls)},
                         {"labels", std::move(labels)},
                         {"caption", OrNull(findings.caption, Text)},
                         {"checks",
                          {{"localIpAdapter", HolderOf(findings, kDispIdLocalIp, &AdapterWithAddress)},
                           {"macAdapter", HolderOf(findings, kDispIdMacAddress, &AdapterWithMac)}}},
                         {"processes", OrNull(findings.processes, Texts)},
                         {"error", std::move(error)},
                         {"exitCode", OrNull(findings.exitCode, [](int code) { return Json(code); })}};
    // Only ASCII goes out: any shell or tool decodes it right, whatever its code page.
    return report.dump(2, ' ', true, Json::error_handler_t::replace) + "\n";
}

std::wstring FindingsText(const Findings& findings) {
    std::wstring report = std::wstring(kProgramName) + L" " +
                          (findings.programVersion.empty() ? L"(unknown)" : findings.programVersion) + L"\r\n";
    const SYSTEMTIME& at = findings.localTime;
    wchar_t date[32];
    std::swprintf(date, std::size(date), L"%04u-%02u-%02u %02u:%02u:%02u", at.wYear, at.wMonth, at.wDay, at.wHour,
                  at.wMinute, at.wSecond);
    Line(report, L"Date", date);
    if (const auto& c = findings.control) {
        const auto known = [](const std::wstring& text) { return text.empty() ? L"(unknown)" : text; };
        Line(report, L"Control", c->progId);
        Line(report, L"CLSID", c->clsid.empty() ? L"(not registered)" : c->clsid);
        Line(report, L"File", known(c->file));
        Line(report, L"File version", known(c->fileVersion));
        Line(report, L"Company", known(c->company));
    }
    for (size_t i = 0; i < std::size(kLabelNames); ++i)
        if (findings.labels[i]) Line(report, kLabelNames[i], *findings.labels[i]);
    if (findings.caption) Line(report, L"Caption", *findings.caption);
    if (findings.listItems) Line(report, L"List1 items", std::to_wstring(*findings.listItems));
    if (findings.control && findings.control->createMs) Line(report, L"Creation", Ms(*findings.control->createMs));
    for (const Findings::Call& call : findings.calls)
        Line(report, L"Get, member " + MemberName(call.member), Ms(call.ms) + (call.answer ? L"" : L", no answer"));
    if (findings.machine) {
        MachineText(report, *findings.machine);
        CheckText(report, findings, L"LocalIP", kDispIdLocalIp, &AdapterWithAddress, L"not an address of this machine");
        CheckText(report, findings, L"MAC", kDispIdMacAddress, &AdapterWithMac, L"no adapter of this machine");
    }
    if (const auto& e = findings.error) {
        std::wstring what = e->kind;
        if (e->member) what += L", member " + MemberName(*e->member);
        Line(report, L"Error", what);
        Line(report, L"Error number", std::to_wstring(e->number));
        Line(report, L"Error source", e->source);
        Line(report, L"Error description", e->description);
    }
    if (findings.processes)
        for (const std::wstring& name : *findings.processes) Line(report, L"Process", name);
    if (findings.exitCode) Line(report, L"Exit code", std::to_wstring(*findings.exitCode));
    return report;
}
