#pragma once
// Child window identifiers of Form1, shared with the tests that drive the window from outside.
#include "Program.h"

enum ControlId : int {
    IDC_VBFUNZIONI1 = 101,
    IDC_LABEL2 = 102,
    IDC_LABEL3 = 103,
    IDC_LABEL4 = 104,
    IDC_LABEL5 = 105,
    IDC_COMMAND1 = 106,
    IDC_LIST1 = 107,
    IDC_COMMAND2 = 108,
};

// The caption Form1 starts with, the program's name; tests find the window by it.
inline constexpr const wchar_t* kForm1Caption = kProgramName;
inline constexpr wchar_t kForm1ClassName[] = L"TalvoForm1";

// "Copy report" in Form1's system menu; the system keeps the low four bits and 0xF000 up.
inline constexpr unsigned kSysCopyReport = 0x0100;
