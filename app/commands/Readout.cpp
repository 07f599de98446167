#include "Readout.h"

#include <iterator>
#include <string_view>
#include <utility>

#include "FullPathClientInstalled.h"
#include "NumberedError.h"
#include "Program.h"
#include "Stopwatch.h"
#include "Unique.h"

namespace {

// Errors of the control are its own: VB names them after its ProgID.
constexpr const wchar_t* kControlSource = kFunctionControlProgId;

std::wstring_view FromBstr(BSTR text) {
    return text ? std::wstring_view(text, SysStringLen(text)) : std::wstring_view();
}

// Numbers the platform gives the automation failures a user meets here.
NumberedError ControlError(HRESULT hr) {
    switch (hr) {
        case DISP_E_TYPEMISMATCH:
            return NumberedError(errnum::TypeMismatch, kControlSource, L"Type mismatch");
        case DISP_E_OVERFLOW:
            return NumberedError(errnum::Overflow, kControlSource, L"Overflow");
        case DISP_E_MEMBERNOTFOUND:
        case DISP_E_UNKNOWNNAME:
            return NumberedError(errnum::NoSuchMember, kControlSource,
                                 L"Object doesn't support this property or method");
        case E_OUTOFMEMORY:
            return NumberedError(errnum::OutOfMemory, kControlSource, L"Out of memory");
        default:
            return ErrorFromHresult(hr, kControlSource);
    }
}

// What the program was doing in the control when it crashed.
std::wstring Doing(const wchar_t* what, DISPID member) {
    wchar_t text[64];
    wsprintfW(text, L"%s member 0x%08X", what, static_cast<unsigned>(member));
    return text;
}

// The EXCEPINFO an Invoke filled: its strings are ours to free, unless the control crashed
// while filling it (then they may be anything).
struct OwnedExcepInfo {
    explicit OwnedExcepInfo(ControlCalls& calls) : calls(calls) {}
    OwnedExcepInfo(const OwnedExcepInfo&) = delete;
    OwnedExcepInfo& operator=(const OwnedExcepInfo&) = delete;
    ~OwnedExcepInfo() {
        if (calls.Crashed()) return;
        SysFreeString(info.bstrSource);
        SysFreeString(info.bstrDescription);
        SysFreeString(info.bstrHelpFile);
    }
    ControlCalls& calls;
    EXCEPINFO info{};
};

// The error the control raised, as it described it.
NumberedError ErrorFromExcepInfo(OwnedExcepInfo& raised, DISPID member) {
    EXCEPINFO& info = raised.info;
    if (const auto fillIn = info.pfnDeferredFillIn) {
        raised.calls.Run(Doing(L"calling", member), [&] { return fillIn(&info); });
        info.pfnDeferredFillIn = nullptr;
    }
    const std::wstring_view description = FromBstr(info.bstrDescription);
    const HRESULT scode = info.scode != 0 ? info.scode : DISP_E_EXCEPTION;
    long number = scode;
    if (info.wCode != 0)
        number = info.wCode;
    else if (HRESULT_FACILITY(scode) == FACILITY_CONTROL)
        number = HRESULT_CODE(scode);

    std::wstring text(description);
    if (text.empty()) text = info.wCode != 0 ? GenericErrorDescription() : SystemMessage(static_cast<DWORD>(scode));
    if (text.empty()) text = GenericErrorDescription();
    std::wstring from(FromBstr(info.bstrSource));
    if (from.empty()) from = kControlSource;
    return NumberedError(number, std::move(from), std::move(text));
}

// An answer of the control, freed through its calls: an object in it is the control's.
class OwnedAnswer {
public:
    OwnedAnswer(ControlCalls& calls, DISPID member) : calls_(calls), member_(member) { VariantInit(&value_); }
    OwnedAnswer(const OwnedAnswer&) = delete;
    OwnedAnswer& operator=(const OwnedAnswer&) = delete;
    ~OwnedAnswer() { calls_.Clear(value_, Doing(L"freeing the answer of", member_)); }
    VARIANT* get() noexcept { return &value_; }

private:
    ControlCalls& calls_;
    DISPID member_;
    VARIANT value_;
};

void SetText(HWND window, const std::wstring& text) {
    if (!SetWindowTextW(window, text.c_str())) ThrowLastError(kProgramSource);
}

}  // namespace

std::wstring AnswerToText(ControlCalls& calls, DISPID member, const VARIANT& answer) {
    const std::wstring reading = Doing(L"reading the answer of", member);
    OwnedAnswer dereferenced(calls, member);
    const VARIANT* value = &answer;
    if (V_ISBYREF(&answer)) {
        // Only read; a reference to an object is an AddRef in the control.
        VARIANT* source = const_cast<VARIANT*>(&answer);
        const HRESULT hr = calls.Run(reading, [&] { return VariantCopyInd(dereferenced.get(), source); });
        if (FAILED(hr)) throw ControlError(hr);
        value = dereferenced.get();
    }

    switch (value->vt) {
        case VT_BSTR:
            return std::wstring(FromBstr(value->bstrVal));
        case VT_NULL:
            throw NumberedError(errnum::InvalidUseOfNull, kControlSource, L"Invalid use of Null");
        case VT_BOOL:
            return value->boolVal != VARIANT_FALSE ? L"True" : L"False";
        default: {
            // An object converts through its default member, in the control's code.
            unique_variant text;
            VARIANT* converted = text.get();
            VARIANT* source = const_cast<VARIANT*>(value);
            const HRESULT hr = calls.Run(reading, [&] { return VariantChangeType(converted, source, 0, VT_BSTR); });
            if (FAILED(hr)) throw ControlError(hr);
            return std::wstring(FromBstr(text->bstrVal));
        }
    }
}

std::wstring AskFunctionControl(const ControlPtr<IDispatch>& control, DISPID member) {
    if (!control)
        throw NumberedError(errnum::ObjectNotSet, kControlSource, L"Object variable or With block variable not set");
    ControlCalls& calls = *control.calls();
    DISPPARAMS noArguments{};
    OwnedAnswer answer(calls, member);
    OwnedExcepInfo raised(calls);
    UINT argumentError = 0;
    IDispatch* dispatch = control.get();
    VARIANT* result = answer.get();
    EXCEPINFO* info = &raised.info;
    const HRESULT hr = calls.Run(Doing(L"calling", member), [&] {
        return dispatch->Invoke(member, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD | DISPATCH_PROPERTYGET,
                                &noArguments, result, info, &argumentError);
    });
    if (hr == DISP_E_EXCEPTION) throw ErrorFromExcepInfo(raised, member);
    // A member that fails otherwise is an error of that member, whatever its number.
    if (FAILED(hr)) throw ControlError(hr);
    return AnswerToText(calls, member, *answer.get());
}

void ReadoutCommand(const ControlPtr<IDispatch>& control, const ReadoutWindow& window, PressRecord& press) {
    press.calls.clear();
    press.calls.reserve(4);
    const auto ask = [&](DISPID member) {
        press.asking = member;
        const Stopwatch watch;
        try {
            std::wstring answer = AskFunctionControl(control, member);
            press.asking = 0;
            press.calls.push_back({member, answer, watch.Ms()});
            return answer;
        } catch (...) {
            press.asking = 0;
            press.calls.push_back({member, std::nullopt, watch.Ms()});
            throw;
        }
    };
    SetText(window.label2, L"LocalIP: " + ask(kDispIdLocalIp));
    SetText(window.label3, L"Plr Stato: " + ask(kDispIdClientStatus));
    SetText(window.label4, L"MAC Address: " + ask(kDispIdMacAddress));
    SetText(window.label5, L"FullPathClientInstalled: " + FullPathClientInstalled());
    // A fresh call: the caption tests what the control says now.
    const bool zero = ask(kDispIdMacAddress) == kZeroMacAddress;
    SetText(window.form, zero ? L"True" : L"False");
}
