#pragma once
// What the program found, in the two forms it gives it: plain text (the copied report, and a
// check without /json) and JSON for scripts. The same facts in both; a fact not known is left
// out of the text and null in the JSON, never guessed.
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "MachineFacts.h"
#include "Readout.h"

struct Findings {
    std::wstring programVersion;  // a.b.c.d from the program's version record; empty if unknown
    SYSTEMTIME localTime{};
    LONG utcOffsetMinutes = 0;  // local time minus UTC
    std::optional<MachineFacts> machine;

    struct Control {
        std::wstring progId;
        std::wstring clsid, file, fileVersion, company;  // empty: not known
        bool created = false;
        std::optional<double> createMs;
    };
    std::optional<Control> control;

    // Every call of the last press, in order; a call that failed has no answer.
    using Call = PressRecord::Call;
    std::vector<Call> calls;

    std::optional<std::wstring> labels[4];  // Label2 to Label5, as shown
    std::optional<std::wstring> caption;
    std::optional<LRESULT> listItems;                    // List1's count, for the copied report
    std::optional<std::vector<std::wstring>> processes;  // List1's items, for a check

    struct Error {
        std::wstring kind;  // "member", "create", "crash", "timeout" or "usage"
        long number;
        std::wstring source, description;
        std::optional<DISPID> member;
    };
    std::optional<Error> error;
    std::optional<int> exitCode;
};

// The control by its ProgID alone, not created, nothing else known.
Findings::Control ControlNamed(std::wstring_view progId);
// What the registry says of the control with this ProgID, not yet created. Never throws but
// std::bad_alloc.
Findings::Control RegisteredFacts(std::wstring_view progId);

// The answers the checks compare with this machine: the first answer of each member.
const std::wstring* AnswerOf(const Findings& findings, DISPID member);

// One JSON object, UTF-8 and ASCII only (anything else escaped), with every field present.
std::string FindingsJson(const Findings& findings);
// Lines of "name: value", CR LF ended.
std::wstring FindingsText(const Findings& findings);

// The time and the program's version, for a report made now.
void StampFindings(Findings& findings);
