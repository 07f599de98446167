#pragma once
// Who this program is, written once: its name (also the source of the errors it raises itself)
// and the control it hosts.
inline constexpr wchar_t kProgramName[] = L"Test OCX TALVO";
inline constexpr const wchar_t* kProgramSource = kProgramName;
inline constexpr wchar_t kFunctionControlProgId[] = L"TALVO_VB6.VbFunzioni";
