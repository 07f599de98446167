#pragma once
// The unattended check: Form1 and its control made as always but never shown, "Get" and
// "Command2" pressed once, and what was found written as one report. Nothing is ever shown:
// every failure, a refused command line included, goes into the report and the exit code.
#include <windows.h>

#include "CommandLine.h"

// Returns the exit code (checkexit); a crash or a call that does not return ends the process
// from inside, after the report.
int RunCheck(HINSTANCE instance, const CommandLine& line) noexcept;
