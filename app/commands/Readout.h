#pragma once
// Command1 ("Get"): what the function control reports, shown label by label.
#include <windows.h>
#include <oaidl.h>

#include <optional>
#include <string>
#include <vector>

#include "ControlCalls.h"

inline constexpr DISPID kDispIdLocalIp = 0x60030001;
inline constexpr DISPID kDispIdMacAddress = 0x60030002;
inline constexpr DISPID kDispIdClientStatus = 0x60030005;
inline constexpr wchar_t kZeroMacAddress[] = L"00-00-00-00-00-00";

// What the command writes to: the four read-outs and the window that takes the caption.
struct ReadoutWindow {
    HWND form;
    HWND label2, label3, label4, label5;
};

// What a press asked the control, member by member, in order: the answer (none when the call
// failed) and how long it took, so a slow control shows in the report. `asking` is the member
// being asked right now, for a report made on another thread while its call has not returned.
struct PressRecord {
    struct Call {
        DISPID member;
        std::optional<std::wstring> answer;
        double ms;
    };
    std::vector<Call> calls;
    DISPID volatile asking = 0;
};

// control: the command's own reference to the control's dispatch; null when there is none.
// press: the calls, as far as the press got.
void ReadoutCommand(const ControlPtr<IDispatch>& control, const ReadoutWindow& window, PressRecord& press);

// Calls a member of the control by DISPID, with no arguments, as a method or property get,
// and returns its answer as text. Every call into the control's code runs through its
// ControlCalls. Throws NumberedError.
std::wstring AskFunctionControl(const ControlPtr<IDispatch>& control, DISPID member);

// The text form of an answer: strings as they are, Booleans "True"/"False", other scalars
// through the platform's conversion (an object's through its default member, in its code, so
// through calls). A null, or an answer without a text form, is an error.
std::wstring AnswerToText(ControlCalls& calls, DISPID member, const VARIANT& answer);
