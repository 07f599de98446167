#pragma once
// Scripted answers for tests: TALVO_STANDIN_<DISPID as 8 upper-case hex digits> holds a
// sequence of answers separated by '|'; README.md has the forms.
#include <windows.h>
#include <oaidl.h>

#include <string>
#include <string_view>
#include <vector>

namespace standin {

// The raw script of one member; empty when unset (the live answer).
std::wstring ScriptFor(DISPID dispid);

// The answers of a script, split at each unescaped '|', with \| \\ \0 \n resolved. Any
// other backslash stays as written, so Windows paths need no doubling.
std::vector<std::wstring> SplitAnswers(std::wstring_view script);

struct ScriptOutcome {
    enum class Kind { Live, Answered, Unparsable };
    Kind kind;
    HRESULT hr;
};

// A form that acts inside the call before answering, or instead of answering: pump:MS:ANSWER,
// modal:MS:ANSWER, hang:MS:ANSWER, hang-locked:MS:ANSWER, handled:ANSWER, av, av-locked, cxx,
// overflow, smash. None for a plain answer.
struct Behaviour {
    enum class Kind {
        None,
        Pump,
        Modal,
        Hang,
        Handled,
        AccessViolation,
        CxxThrow,
        StackOverflow,
        SmashedChain,
        LockedFault,
        LockedHang,
        Unparsable
    };
    Kind kind;
    DWORD ms;
    std::wstring_view answer;  // what follows the act
};
Behaviour ParseBehaviour(std::wstring_view answer);

// Applies one answer to an Invoke's out-parameters. result was VariantInit'ed and may be
// null (the caller wants no value); excepInfo may be null.
ScriptOutcome ApplyAnswer(std::wstring_view answer, VARIANT* result, EXCEPINFO* excepInfo);

}  // namespace standin
