#pragma once
// The test hooks read from the environment at each use: the scripted answers and the call
// log. A program never sets them; tests do, in the process that hosts the control.
#include <cstdio>
#include <string>
#include <string_view>

namespace standin {

// The variable's value; empty when it is unset.
std::wstring EnvironmentValue(const wchar_t* name);

// Appends one UTF-8 line to the file named by TALVO_STANDIN_LOG, when it is set. The file
// is opened and closed for every line so a test can read it while the control lives.
void LogLine(std::string_view line) noexcept;

// printf-style formatting for log lines.
std::string Format(const char* format, ...) __attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2)));

}  // namespace standin
