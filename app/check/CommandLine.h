#pragma once
// The program's command line. Without /check it is the window it always was; with it, an
// unattended check whose findings go to a file or the standard output, for a help desk that
// runs it on many machines through its own remote tools.
#include <windows.h>

#include <optional>
#include <span>
#include <string>

// How long one call into the control may run in a check before it is given up on.
inline constexpr DWORD kDefaultCallTimeoutSeconds = 30;
inline constexpr DWORD kMaxCallTimeoutSeconds = 3600;

// The exit codes of a check, for the scripts that read them.
namespace checkexit {
inline constexpr int Answered = 0;
inline constexpr int MemberError = 1;
inline constexpr int NotCreated = 2;
inline constexpr int Crashed = 3;
inline constexpr int TimedOut = 4;
inline constexpr int NotWritten = 5;
inline constexpr int BadCommandLine = 64;
}  // namespace checkexit

struct CommandLine {
    bool check = false;
    bool json = false;
    std::optional<std::wstring> out;  // the report's file; the standard output without it
    DWORD timeoutSeconds = kDefaultCallTimeoutSeconds;
    // Why the command line was refused, in a sentence; empty when it was taken.
    std::wstring refused;
};

// The arguments after the program's name. Names are taken in any case, after '/' or '-';
// values keep theirs. A refused line still says whether /check, /json and /out were among
// its arguments, so the refusal goes where the check's report would have gone.
CommandLine ParseCommandLine(std::span<const wchar_t* const> arguments);

// What the program accepts, for a refused command line.
std::wstring UsageText();
