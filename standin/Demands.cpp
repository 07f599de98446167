#include "Demands.h"

#include <windows.h>

#include <string>
#include <string_view>

#include "CallLog.h"
#include "Text.h"

namespace standin {

namespace {

bool EqualsNoCase(std::wstring_view a, const wchar_t* b) {
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b, -1, TRUE) == CSTR_EQUAL;
}

std::wstring_view Trimmed(std::wstring_view word) {
    const size_t first = word.find_first_not_of(L" \t");
    if (first == std::wstring_view::npos) return {};
    return word.substr(first, word.find_last_not_of(L" \t") - first + 1);
}

}  // namespace

Demands ReadDemands() {
    Demands demands;
    struct Word {
        const wchar_t* name;
        bool Demands::*flag;
    };
    static constexpr Word kWords[] = {
        {L"siteex", &Demands::siteEx},
        {L"noextent", &Demands::noExtent},
        {L"nopropbag", &Demands::noPropBag},
        {L"usereg", &Demands::useReg},
        {L"invisible", &Demands::invisible},
        {L"probe", &Demands::probe},
        {L"edit", &Demands::edit},
        {L"logsite", &Demands::logSite},
        {L"av-siting", &Demands::avSiting},
        {L"av-activation", &Demands::avActivation},
        {L"av-teardown", &Demands::avTeardown},
        {L"av-focus", &Demands::avFocus},
        {L"hang-activation", &Demands::hangActivation},
    };
    const std::wstring text = EnvironmentValue(L"TALVO_STANDIN_DEMANDS");
    std::wstring_view rest = text;
    while (!rest.empty()) {
        const size_t comma = rest.find(L',');
        const std::wstring_view word = Trimmed(rest.substr(0, comma));
        rest = comma == std::wstring_view::npos ? std::wstring_view() : rest.substr(comma + 1);
        if (word.empty()) continue;
        bool known = false;
        for (const Word& w : kWords) {
            if (EqualsNoCase(word, w.name)) {
                demands.*w.flag = true;
                known = true;
            }
        }
        if (!known) LogLine("demands unknown: " + ToUtf8(word));
    }
    return demands;
}

}  // namespace standin
