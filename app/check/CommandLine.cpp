#include "CommandLine.h"

#include <cwctype>
#include <string_view>

#include "Program.h"

namespace {

bool SameName(std::wstring_view given, std::wstring_view name) {
    if (given.size() != name.size()) return false;
    for (size_t i = 0; i < given.size(); ++i)
        if (std::towlower(given[i]) != name[i]) return false;
    return true;
}

// "30" -> 30 ("030" too): decimal digits only, no sign or blanks, inside the accepted range.
std::optional<DWORD> Seconds(std::wstring_view text) {
    if (text.empty()) return std::nullopt;
    while (text.size() > 1 && text.front() == L'0') text.remove_prefix(1);
    if (text.size() > 4) return std::nullopt;
    DWORD value = 0;
    for (const wchar_t c : text) {
        if (c < L'0' || c > L'9') return std::nullopt;
        value = value * 10 + static_cast<DWORD>(c - L'0');
    }
    if (value < 1 || value > kMaxCallTimeoutSeconds) return std::nullopt;
    return value;
}

}  // namespace

CommandLine ParseCommandLine(std::span<const wchar_t* const> arguments) {
    CommandLine line;
    bool timeoutGiven = false;
    const auto refuse = [&](std::wstring why) {
        if (line.refused.empty()) line.refused = std::move(why);
    };
    for (const wchar_t* raw : arguments) {
        const std::wstring_view argument = raw != nullptr ? raw : L"";
        if (argument.size() < 2 || (argument[0] != L'/' && argument[0] != L'-')) {
            refuse(L"Unknown argument \"" + std::wstring(argument) + L"\".");
            continue;
        }
        const std::wstring_view body = argument.substr(1);
        const size_t colon = body.find(L':');
        const std::wstring_view name = body.substr(0, colon);
        const bool hasValue = colon != std::wstring_view::npos;
        const std::wstring_view value = hasValue ? body.substr(colon + 1) : std::wstring_view();
        if (SameName(name, L"check") && !hasValue) {
            line.check = true;
        } else if (SameName(name, L"json") && !hasValue) {
            line.json = true;
        } else if (SameName(name, L"out")) {
            if (line.out)
                refuse(L"/out is given more than once.");
            else if (value.empty())
                refuse(L"/out needs a file name: /out:FILE.");
            else
                line.out = std::wstring(value);
        } else if (SameName(name, L"timeout")) {
            const std::optional<DWORD> seconds = Seconds(value);
            if (timeoutGiven)
                refuse(L"/timeout is given more than once.");
            else if (!seconds)
                refuse(L"/timeout takes a number of seconds from 1 to 3600, not \"" + std::wstring(value) + L"\".");
            else
                line.timeoutSeconds = *seconds;
            timeoutGiven = true;
        } else {
            refuse(L"Unknown argument \"" + std::wstring(argument) + L"\".");
        }
    }
    return line;
}

std::wstring UsageText() {
    return std::wstring(kProgramName) +
           L" [/check [/json] [/out:FILE] [/timeout:SECONDS]]\r\n"
           L"\r\n"
           L"Without arguments: the window.\r\n"
           L"/check            Check without a window: press \"Get\" and \"Command2\" once, write the report, end.\r\n"
           L"/json             The report as JSON (UTF-8, ASCII only); without it, plain text (UTF-8).\r\n"
           L"/out:FILE         Write the report to FILE (created or replaced); without it, to the standard output.\r\n"
           L"/timeout:SECONDS  How long one call into the control may run, 1 to 3600 (default 30).\r\n"
           L"\r\n"
           L"Exit codes of /check: 0 every call answered; 1 a member raised an error; 2 the control could not be "
           L"created; 3 the control crashed; 4 a call did not return in time; 5 the report could not be written; "
           L"64 bad command line.\r\n";
}
