#include "Readout.h"

#include "Program.h"
#include "ForeignCall.h"
#include "FullPathClientInstalled.h"
#include "NumberedError.h"
#include "Unique.h"

namespace {

// Errors of the control are its own: VB names them after its ProgID.
constexpr const wchar_t* kControlSource = kFunctionControlProgId;

std::wstring FromBstr(BSTR text) { return text ? std::wstring(text, SysStringLen(text)) : std::wstring(); }

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

// The error the control raised, as it described it. Takes the strings out of info.
// What the program was doing in the control when it crashed.
std::wstring Calling(DISPID member) {
    wchar_t text[40];
    wsprintfW(text, L"calling member 0x%08X", static_cast<unsigned>(member));
    return text;
}

// A call into the control: a crash inside becomes the report instead of ending the program
// unseen. Only the foreign call runs guarded; nothing of ours with a destructor lives there.
template <typename Call>
void CallGuarded(DISPID member, Call&& call) {
    if (const std::optional<ForeignFault> fault = GuardForeignCall(call))
        throw FaultError(*fault, Calling(member), kControlSource);
}

NumberedError ErrorFromExcepInfo(EXCEPINFO& info, DISPID member) {
    if (info.pfnDeferredFillIn != nullptr) {
        CallGuarded(member, [&]() noexcept { info.pfnDeferredFillIn(&info); });
        info.pfnDeferredFillIn = nullptr;
    }
    unique_bstr source(info.bstrSource);
    unique_bstr description(info.bstrDescription);
    unique_bstr helpFile(info.bstrHelpFile);
    info.bstrSource = info.bstrDescription = info.bstrHelpFile = nullptr;

    const HRESULT scode = info.scode != 0 ? info.scode : DISP_E_EXCEPTION;
    long number = scode;
    if (info.wCode != 0)
        number = info.wCode;
    else if (HRESULT_FACILITY(scode) == FACILITY_CONTROL)
        number = HRESULT_CODE(scode);

    std::wstring text = FromBstr(description.get());
    if (text.empty()) text = info.wCode != 0 ? GenericErrorDescription() : SystemMessage(static_cast<DWORD>(scode));
    if (text.empty()) text = GenericErrorDescription();
    std::wstring from = FromBstr(source.get());
    if (from.empty()) from = kControlSource;
    return NumberedError(number, std::move(from), std::move(text));
}

void SetText(HWND window, const std::wstring& text) {
    if (!SetWindowTextW(window, text.c_str())) ThrowLastError(kProgramSource);
}

}  // namespace

std::wstring AnswerToText(const VARIANT& answer) {
    unique_variant dereferenced;
    const VARIANT* value = &answer;
    if (V_ISBYREF(&answer)) {
        const HRESULT hr = VariantCopyInd(dereferenced.get(), const_cast<VARIANT*>(&answer));  // only read
        if (FAILED(hr)) throw ControlError(hr);
        value = dereferenced.get();
    }

    switch (value->vt) {
        case VT_BSTR:
            return FromBstr(value->bstrVal);
        case VT_NULL:
            throw NumberedError(errnum::InvalidUseOfNull, kControlSource, L"Invalid use of Null");
        case VT_BOOL:
            return value->boolVal != VARIANT_FALSE ? L"True" : L"False";
        default: {
            unique_variant text;
            const HRESULT hr = VariantChangeType(text.get(), const_cast<VARIANT*>(value), 0, VT_BSTR);
            if (FAILED(hr)) throw ControlError(hr);
            return FromBstr(text->bstrVal);
        }
    }
}

std::wstring AskFunctionControl(IDispatch* control, DISPID member) {
    if (control == nullptr)
        throw NumberedError(errnum::ObjectNotSet, kControlSource, L"Object variable or With block variable not set");
    DISPPARAMS noArguments{};
    unique_variant answer;
    EXCEPINFO info{};
    UINT argumentError = 0;
    VARIANT* result = answer.put();
    HRESULT hr = E_UNEXPECTED;
    CallGuarded(member, [&]() noexcept {
        hr = control->Invoke(member, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD | DISPATCH_PROPERTYGET,
                             &noArguments, result, &info, &argumentError);
    });
    if (hr == DISP_E_EXCEPTION) throw ErrorFromExcepInfo(info, member);
    // A control that fails otherwise may still have left strings behind.
    SysFreeString(info.bstrSource);
    SysFreeString(info.bstrDescription);
    SysFreeString(info.bstrHelpFile);
    if (FAILED(hr)) throw ControlError(hr);
    return AnswerToText(*answer.get());
}

void ReadoutCommand(IDispatch* control, const ReadoutWindow& window) {
    SetText(window.label2, L"LocalIP: " + AskFunctionControl(control, kDispIdLocalIp));
    SetText(window.label3, L"Plr Stato: " + AskFunctionControl(control, kDispIdClientStatus));
    SetText(window.label4, L"MAC Address: " + AskFunctionControl(control, kDispIdMacAddress));
    SetText(window.label5, L"FullPathClientInstalled: " + FullPathClientInstalled());
    // A fresh call: the caption tests what the control says now.
    const bool zero = AskFunctionControl(control, kDispIdMacAddress) == kZeroMacAddress;
    SetText(window.form, zero ? L"True" : L"False");
}
