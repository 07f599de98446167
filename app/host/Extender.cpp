#include "Extender.h"

#include <algorithm>
#include <climits>
#include <new>
#include <span>

#include "ComObject.h"
#include "VariantAnswer.h"
#include "WindowText.h"

namespace {

// Extended properties have no standard DISPIDs: controls ask by name. These stay clear of
// the control's own (positive) and the standard (small negative) ones.
enum : DISPID {
    kName = static_cast<DISPID>(0x80010000),
    kLeft,
    kTop,
    kWidth,
    kHeight,
    kVisible,
    kEnabled,
    kTabIndex,
    kTabStop,
    kTag,
    kParent,
    kCaption,
    kHwnd,
};

struct Member {
    const wchar_t* name;
    DISPID id;
};

constexpr Member kExtenderMembers[] = {
    {L"Name", kName},       {L"Left", kLeft},       {L"Top", kTop},         {L"Width", kWidth},
    {L"Height", kHeight},   {L"Visible", kVisible}, {L"Enabled", kEnabled}, {L"TabIndex", kTabIndex},
    {L"TabStop", kTabStop}, {L"Tag", kTag},         {L"Parent", kParent},
};
constexpr Member kFormMembers[] = {{L"Name", kName}, {L"Caption", kCaption}, {L"hWnd", kHwnd}};

HRESULT Twips(int value, VARIANT* result) noexcept {
    result->vt = VT_R4;
    result->fltVal = static_cast<float>(value);
    return S_OK;
}

// The caption read live; a text that grew while it was read is read again, not cut.
HRESULT WindowTextAnswer(HWND window, VARIANT* result) noexcept {
    try {
        const std::wstring text = WindowText(window);
        unique_bstr answer(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
        if (!answer) return E_OUTOFMEMORY;
        result->vt = VT_BSTR;
        result->bstrVal = answer.release();
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

LONG StyleOf(HWND window) noexcept { return window != nullptr ? GetWindowLongW(window, GWL_STYLE) : 0; }

// An automation object of read-only properties, known by name.
class PropertyObject : public ComObject<IDispatch> {
public:
    STDMETHODIMP GetTypeInfoCount(UINT* pctinfo) override {
        if (pctinfo == nullptr) return E_POINTER;
        *pctinfo = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) override {
        if (ppTInfo) *ppTInfo = nullptr;
        return DISP_E_BADINDEX;
    }

    // The first name is the member; any more would name its arguments, and none takes any.
    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
        if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
        if (count == 0) return S_OK;
        if (names == nullptr || ids == nullptr) return E_POINTER;
        for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
        if (names[0] == nullptr) return DISP_E_UNKNOWNNAME;
        for (const Member& member : members_) {
            if (lstrcmpiW(names[0], member.name) == 0) {
                ids[0] = member.id;
                return count == 1 ? S_OK : DISP_E_UNKNOWNNAME;
            }
        }
        return DISP_E_UNKNOWNNAME;
    }

    STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                        UINT*) override {
        if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
        if (!Knows(id) || !(flags & DISPATCH_PROPERTYGET)) return DISP_E_MEMBERNOTFOUND;
        if (params != nullptr && (params->cArgs != 0 || params->cNamedArgs != 0)) return DISP_E_BADPARAMCOUNT;
        if (result == nullptr) return S_OK;  // the caller wants no answer
        VariantInit(result);
        return Get(id, result);
    }

protected:
    explicit PropertyObject(std::span<const Member> members) : members_(members) {}
    // Only called for a DISPID of the members, with an empty result.
    virtual HRESULT Get(DISPID id, VARIANT* result) noexcept = 0;

private:
    bool Knows(DISPID id) const noexcept {
        return std::any_of(members_.begin(), members_.end(), [id](const Member& member) { return member.id == id; });
    }

    std::span<const Member> members_;
};

class FormObject final : public PropertyObject {
public:
    FormObject(HWND form, std::wstring name) : PropertyObject(kFormMembers), form_(form), name_(std::move(name)) {}

private:
    HRESULT Get(DISPID id, VARIANT* result) noexcept override {
        switch (id) {
            case kName:
                return AnswerText(name_, result);
            case kCaption:
                return WindowTextAnswer(form_, result);
            case kHwnd:
                return AnswerLong(HandleToLong(form_), result);
            default:
                return DISP_E_MEMBERNOTFOUND;
        }
    }

    HWND form_;
    std::wstring name_;
};

class Extender final : public PropertyObject {
public:
    Extender(ExtenderFacts facts, com_ptr<IDispatch> parent)
        : PropertyObject(kExtenderMembers), facts_(std::move(facts)), parent_(std::move(parent)) {}

private:
    HRESULT Get(DISPID id, VARIANT* result) noexcept override {
        switch (id) {
            case kName:
                return AnswerText(facts_.name, result);
            case kLeft:
                return Twips(facts_.left, result);
            case kTop:
                return Twips(facts_.top, result);
            case kWidth:
                return Twips(facts_.width, result);
            case kHeight:
                return Twips(facts_.height, result);
            // The host's own flags, not its parent's: hidden with the form, it is still Visible.
            case kVisible:
                return AnswerBool((StyleOf(facts_.host) & WS_VISIBLE) != 0, result);
            case kEnabled:
                return AnswerBool(
                    facts_.host != nullptr && IsWindow(facts_.host) && !(StyleOf(facts_.host) & WS_DISABLED), result);
            case kTabStop:
                return AnswerBool((StyleOf(facts_.host) & WS_TABSTOP) != 0, result);
            case kTabIndex:
                result->vt = VT_I2;
                result->iVal = static_cast<SHORT>(facts_.tabIndex < 0 ? 0 : std::min(facts_.tabIndex, SHRT_MAX));
                return S_OK;
            case kTag:
                return AnswerText(facts_.tag, result);
            case kParent:
                result->vt = VT_DISPATCH;
                result->pdispVal = parent_.get();
                result->pdispVal->AddRef();
                return S_OK;
            default:
                return DISP_E_MEMBERNOTFOUND;
        }
    }

    ExtenderFacts facts_;
    com_ptr<IDispatch> parent_;
};

}  // namespace

com_ptr<IDispatch> CreateExtender(ExtenderFacts facts) {
    // Each starts with the one reference its com_ptr takes over.
    auto parent = com_ptr<IDispatch>::attach(new FormObject(facts.form, facts.formName));
    return com_ptr<IDispatch>::attach(new Extender(std::move(facts), std::move(parent)));
}
