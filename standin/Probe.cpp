#include "Probe.h"

#include <ocidl.h>
#include <olectl.h>

#include <charconv>
#include <cmath>
#include <string>

#include "CallLog.h"
#include "Text.h"
#include "Unique.h"

namespace standin {

namespace {

// DISPID the probe asks the ambients for that no site defines.
constexpr DISPID kUnknownAmbient = 0x7FFF0001;

std::string ErrorText(HRESULT hr) { return Format("error 0x%08lX", static_cast<unsigned long>(hr)); }

void Observe(const char* name, const std::string& value) { LogLine(std::string("observed ") + name + "=" + value); }

std::string DoubleText(double value) {
    char buffer[32];
    const auto [end, error] = std::to_chars(buffer, buffer + sizeof(buffer), value);
    return error == std::errc() ? std::string(buffer, end) : std::string("nan");
}

// A value as the log shows it: strings as they are, numbers in decimal, booleans true/false.
std::string ValueText(const VARIANT& value) {
    switch (V_VT(&value)) {
        case VT_BSTR:
            return ToUtf8(std::wstring_view(V_BSTR(&value), SysStringLen(V_BSTR(&value))));
        case VT_BOOL:
            return V_BOOL(&value) != VARIANT_FALSE ? "true" : "false";
        case VT_EMPTY:
            return "empty";
        case VT_NULL:
            return "null";
        case VT_DISPATCH:
        case VT_UNKNOWN:
            return "object";
        default: {
            unique_variant number;
            if (FAILED(VariantChangeTypeEx(number.get(), const_cast<VARIANT*>(&value), LOCALE_INVARIANT, 0, VT_R8)))
                return Format("vt=0x%04X", static_cast<unsigned>(V_VT(&value)));
            return DoubleText(V_R8(number.get()));
        }
    }
}

HRESULT GetProperty(IDispatch* object, DISPID id, VARIANT* value) {
    DISPPARAMS none{};
    EXCEPINFO error{};
    UINT argErr = 0;
    const HRESULT hr =
        object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, value, &error, &argErr);
    // Only the HRESULT is logged; a deferred fill-in is never asked for.
    SysFreeString(error.bstrSource);
    SysFreeString(error.bstrDescription);
    SysFreeString(error.bstrHelpFile);
    return hr;
}

HRESULT GetProperty(IDispatch* object, const wchar_t* name, VARIANT* value) {
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    DISPID id = DISPID_UNKNOWN;
    const HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) return hr;
    return GetProperty(object, id, value);
}

// The object a property holds, as IDispatch.
HRESULT AsDispatch(const VARIANT& value, com_ptr<IDispatch>& object) {
    if ((V_VT(&value) != VT_DISPATCH && V_VT(&value) != VT_UNKNOWN) || V_UNKNOWN(&value) == nullptr)
        return DISP_E_TYPEMISMATCH;
    return V_UNKNOWN(&value)->QueryInterface(IID_IDispatch, object.put_void());
}

void ObserveProperty(const char* fact, IDispatch* object, const wchar_t* name) {
    unique_variant value;
    const HRESULT hr = GetProperty(object, name, value.get());
    Observe(fact, FAILED(hr) ? ErrorText(hr) : ValueText(*value.get()));
}

void ObserveExtender(IOleClientSite* site) {
    static constexpr struct {
        const char* fact;
        const wchar_t* name;
    } Facts[] = {
        {"extender.name", L"Name"},       {"extender.left", L"Left"},         {"extender.top", L"Top"},
        {"extender.width", L"Width"},     {"extender.height", L"Height"},     {"extender.visible", L"Visible"},
        {"extender.enabled", L"Enabled"}, {"extender.tabindex", L"TabIndex"}, {"extender.tabstop", L"TabStop"},
        {"extender.tag", L"Tag"},
    };

    com_ptr<IOleControlSite> controlSite;
    com_ptr<IDispatch> extender;
    HRESULT hr = site->QueryInterface(IID_IOleControlSite, controlSite.put_void());
    if (SUCCEEDED(hr)) hr = controlSite->GetExtendedControl(extender.put());
    if (SUCCEEDED(hr) && !extender) hr = E_POINTER;
    for (const auto& fact : Facts) {
        if (FAILED(hr)) {
            Observe(fact.fact, ErrorText(hr));
        } else {
            ObserveProperty(fact.fact, extender.get(), fact.name);
        }
    }

    com_ptr<IDispatch> parent;
    if (SUCCEEDED(hr)) {
        unique_variant value;
        hr = GetProperty(extender.get(), L"Parent", value.get());
        if (SUCCEEDED(hr)) hr = AsDispatch(*value.get(), parent);
    }
    if (FAILED(hr)) {
        for (const char* fact : {"parent.name", "parent.caption", "parent.hwnd"}) Observe(fact, ErrorText(hr));
        return;
    }
    ObserveProperty("parent.name", parent.get(), L"Name");
    ObserveProperty("parent.caption", parent.get(), L"Caption");
    unique_variant window;
    hr = GetProperty(parent.get(), L"hWnd", window.get());
    unique_variant number;
    if (SUCCEEDED(hr)) hr = VariantChangeTypeEx(number.get(), window.get(), LOCALE_INVARIANT, 0, VT_R8);
    Observe("parent.hwnd", FAILED(hr) ? ErrorText(hr) : V_R8(number.get()) != 0 ? "nonzero" : "0");
}

std::string FontText(const VARIANT& value) {
    if ((V_VT(&value) != VT_DISPATCH && V_VT(&value) != VT_UNKNOWN) || V_UNKNOWN(&value) == nullptr)
        return ErrorText(DISP_E_TYPEMISMATCH);
    com_ptr<IFont> font;
    HRESULT hr = V_UNKNOWN(&value)->QueryInterface(IID_IFont, font.put_void());
    if (FAILED(hr)) return ErrorText(hr);
    unique_bstr name;
    CY size{};
    hr = font->get_Name(name.put());
    if (SUCCEEDED(hr)) hr = font->get_Size(&size);
    if (FAILED(hr)) return ErrorText(hr);
    // CY counts ten-thousandths of a point.
    const auto points = static_cast<long long>(std::llround(static_cast<double>(size.int64) / 10000.0));
    return ToUtf8(std::wstring_view(name.get(), name.length())) + " " + std::to_string(points);
}

std::string ColourText(const VARIANT& value) {
    unique_variant number;
    if (V_VT(&value) == VT_I4 || V_VT(&value) == VT_UI4)
        return Format("0x%08lX", static_cast<unsigned long>(V_UI4(&value)));
    const HRESULT hr = VariantChangeTypeEx(number.get(), const_cast<VARIANT*>(&value), LOCALE_INVARIANT, 0, VT_I4);
    if (FAILED(hr)) return ErrorText(hr);
    return Format("0x%08lX", static_cast<unsigned long>(V_I4(number.get())));
}

std::string BoolText(const VARIANT& value) {
    unique_variant flag;
    const HRESULT hr = VariantChangeTypeEx(flag.get(), const_cast<VARIANT*>(&value), LOCALE_INVARIANT, 0, VT_BOOL);
    if (FAILED(hr)) return ErrorText(hr);
    return V_BOOL(flag.get()) != VARIANT_FALSE ? "true" : "false";
}

void ObserveAmbients(IOleClientSite* site) {
    static constexpr struct {
        const char* fact;
        DISPID id;
        std::string (*text)(const VARIANT&);
    } Facts[] = {
        {"ambient.usermode", DISPID_AMBIENT_USERMODE, &BoolText},
        {"ambient.backcolor", DISPID_AMBIENT_BACKCOLOR, &ColourText},
        {"ambient.font", DISPID_AMBIENT_FONT, &FontText},
        {"ambient.unknown", kUnknownAmbient, &ValueText},
    };
    com_ptr<IDispatch> ambients;
    const HRESULT found = site->QueryInterface(IID_IDispatch, ambients.put_void());
    for (const auto& fact : Facts) {
        if (FAILED(found)) {
            Observe(fact.fact, ErrorText(found));
            continue;
        }
        unique_variant value;
        const HRESULT hr = GetProperty(ambients.get(), fact.id, value.get());
        Observe(fact.fact, FAILED(hr) ? ErrorText(hr) : fact.text(*value.get()));
    }
}

}  // namespace

void ProbeSite(IOleClientSite* site) noexcept {
    if (site == nullptr) return;
    try {
        ObserveExtender(site);
        ObserveAmbients(site);
    } catch (...) {
        // Out of memory for a log line: the probe is a test aid and never fails the siting.
    }
}

}  // namespace standin
