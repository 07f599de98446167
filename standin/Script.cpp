#include "Script.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <utility>

#include "CallLog.h"
#include "Misbehaviour.h"
#include "Module.h"
#include "Unique.h"

namespace standin {

namespace {

using Kind = ScriptOutcome::Kind;

constexpr ScriptOutcome Answered(HRESULT hr) { return {Kind::Answered, hr}; }
constexpr ScriptOutcome Unparsable() { return {Kind::Unparsable, E_INVALIDARG}; }

// A rep: answer larger than this many characters is refused as out of memory rather than
// attempted: a 32-bit process would not get the address space anyway.
constexpr std::uint64_t MaxRepeatedChars = 0x10000000;

bool EqualsNoCase(std::wstring_view a, std::wstring_view b) {
    return a.size() == b.size() && CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                                        static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// The ASCII text of a number; anything else cannot be one.
std::optional<std::string> Ascii(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t c : text) {
        if (c == 0 || c > 0x7F) return std::nullopt;
        out.push_back(static_cast<char>(c));
    }
    return out;
}

template <typename T>
std::optional<T> ParseWhole(std::string_view text, int base) {
    T value{};
    if (text.empty()) return std::nullopt;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<LONG> ParseI4(std::wstring_view text) {
    const auto ascii = Ascii(text);
    if (!ascii) return std::nullopt;
    return ParseWhole<std::int32_t>(*ascii, 10);
}

// from_chars reads doubles the same whatever locale the host process set.
std::optional<double> ParseDouble(std::wstring_view text) {
    const auto ascii = Ascii(text);
    if (!ascii) return std::nullopt;
    std::string_view digits = *ascii;
    // from_chars takes no leading '+'; a sign after it is still refused.
    if (!digits.empty() && digits[0] == '+') {
        digits.remove_prefix(1);
        if (!digits.empty() && digits[0] == '-') return std::nullopt;
    }
    if (digits.empty()) return std::nullopt;
    double value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    return value;
}

// A 32-bit number: "0x" and up to 8 hex digits, an unsigned decimal, or a negative decimal
// (an HRESULT written as a signed value). small is set for 0..65535 written as such.
struct Number32 {
    std::uint32_t value;
    // cppcheck-suppress unusedStructMember ; read when the scode is made
    bool small;
};

std::optional<Number32> ParseNumber32(std::wstring_view text) {
    const auto ascii = Ascii(text);
    if (!ascii) return std::nullopt;
    std::string_view digits = *ascii;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        const auto value = ParseWhole<std::uint32_t>(digits.substr(2), 16);
        if (!value) return std::nullopt;
        return Number32{*value, *value < 0x10000};
    }
    if (!digits.empty() && digits[0] == '-') {
        const auto value = ParseWhole<std::int32_t>(digits, 10);
        if (!value) return std::nullopt;
        return Number32{static_cast<std::uint32_t>(*value), false};
    }
    const auto value = ParseWhole<std::uint32_t>(digits, 10);
    if (!value) return std::nullopt;
    return Number32{*value, *value < 0x10000};
}

HRESULT SetBstr(VARIANT* result, std::wstring_view text) {
    if (result == nullptr) return S_OK;
    BSTR value = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (value == nullptr) return E_OUTOFMEMORY;
    V_VT(result) = VT_BSTR;
    V_BSTR(result) = value;
    return S_OK;
}

ScriptOutcome Repeat(std::wstring_view rest, VARIANT* result) {
    const size_t colon = rest.find(L':');
    if (colon == std::wstring_view::npos) return Unparsable();
    const auto countText = Ascii(rest.substr(0, colon));
    if (!countText || countText->empty() || (*countText)[0] == '-') return Unparsable();
    const auto count = ParseWhole<std::uint64_t>(*countText, 10);
    if (!count) return Unparsable();
    const std::wstring_view text = rest.substr(colon + 1);
    if (result == nullptr) return Answered(S_OK);
    if (!text.empty() && *count > MaxRepeatedChars / text.size()) return Answered(E_OUTOFMEMORY);
    const auto total = static_cast<UINT>(text.empty() ? 0 : *count * text.size());
    BSTR value = SysAllocStringLen(nullptr, total);
    if (value == nullptr) return Answered(E_OUTOFMEMORY);
    for (UINT at = 0; at < total; at += static_cast<UINT>(text.size()))
        std::memcpy(value + at, text.data(), text.size() * sizeof(wchar_t));
    V_VT(result) = VT_BSTR;
    V_BSTR(result) = value;
    return Answered(S_OK);
}

// An IDispatch with no members at all, not even a default one; or one that crashes when asked
// for its value, or when let go of.
class EmptyDispatch final : public IDispatch {
public:
    enum class Fault { None, Invoke, Release };
    explicit EmptyDispatch(Fault fault) : fault_(fault) {}

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IDispatch) {
            *ppv = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&references_); }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = InterlockedDecrement(&references_);
        if (left == 0 && fault_ == Fault::Release) RaiseAccessViolation();
        if (left == 0) delete this;
        return left;
    }
    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        if (count == nullptr) return E_POINTER;
        *count = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
        if (info != nullptr) *info = nullptr;
        return DISP_E_BADINDEX;
    }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT count, LCID, DISPID* ids) override {
        if (ids != nullptr) std::fill_n(ids, count, DISPID_UNKNOWN);
        return DISP_E_UNKNOWNNAME;
    }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        if (fault_ == Fault::Invoke) RaiseAccessViolation();
        return DISP_E_MEMBERNOTFOUND;
    }

private:
    Fault fault_;
    LONG references_ = 1;
    ModuleReference module_;
};

HRESULT SetDispatch(VARIANT* result, EmptyDispatch::Fault fault) {
    if (result == nullptr) return S_OK;
    V_VT(result) = VT_DISPATCH;
    V_DISPATCH(result) = new EmptyDispatch(fault);
    return S_OK;
}

HRESULT SetArray(VARIANT* result) {
    if (result == nullptr) return S_OK;
    SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, 2);
    if (array == nullptr) return E_OUTOFMEMORY;
    const wchar_t* items[] = {L"a", L"b"};
    for (LONG i = 0; i < 2; ++i) {
        unique_bstr item(SysAllocString(items[i]));
        // SafeArrayPutElement copies the BSTR it is given.
        if (!item || FAILED(SafeArrayPutElement(array, &i, item.get()))) {
            SafeArrayDestroy(array);
            return E_OUTOFMEMORY;
        }
    }
    V_VT(result) = VT_ARRAY | VT_BSTR;
    V_ARRAY(result) = array;
    return S_OK;
}

// The error an error: or deferred: answer describes.
struct ScriptedError {
    SCODE scode;
    std::wstring source;
    std::wstring description;
};

std::optional<ScriptedError> ParseError(std::wstring_view rest) {
    const size_t first = rest.find(L':');
    if (first == std::wstring_view::npos) return std::nullopt;
    const size_t second = rest.find(L':', first + 1);
    if (second == std::wstring_view::npos) return std::nullopt;
    const auto number = ParseNumber32(rest.substr(0, first));
    if (!number) return std::nullopt;
    const SCODE scode = number->small ? MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, number->value)
                                      : static_cast<SCODE>(number->value);
    return ScriptedError{scode, std::wstring(rest.substr(first + 1, second - first - 1)),
                         std::wstring(rest.substr(second + 1))};
}

HRESULT FillExcepInfo(EXCEPINFO* info, const ScriptedError& error) {
    unique_bstr source(SysAllocStringLen(error.source.data(), static_cast<UINT>(error.source.size())));
    unique_bstr description(SysAllocStringLen(error.description.data(), static_cast<UINT>(error.description.size())));
    if (!source || !description) return E_OUTOFMEMORY;
    *info = EXCEPINFO{};
    info->wCode = 0;
    info->scode = error.scode;
    info->bstrSource = source.release();
    info->bstrDescription = description.release();
    return S_OK;
}

// Deferred fill-ins waiting for their caller, found by the address of the EXCEPINFO that
// Invoke was given (the caller hands the same one to pfnDeferredFillIn). Each keeps the DLL
// loaded, since the caller holds a pointer to code in it.
struct PendingFillIn {
    EXCEPINFO* info;
    ScriptedError error;
    ModuleReference module;
};
constexpr size_t kMaxPendingFillIns = 256;
SRWLOCK g_pendingLock = SRWLOCK_INIT;
std::vector<PendingFillIn> g_pending;

HRESULT __stdcall FillDeferred(EXCEPINFO* info) {
    if (info == nullptr) return E_POINTER;
    return Guarded([&]() -> HRESULT {
        std::optional<PendingFillIn> found;
        {
            const ExclusiveLock lock(g_pendingLock);
            const auto it = std::find_if(g_pending.begin(), g_pending.end(),
                                         [&](const PendingFillIn& p) { return p.info == info; });
            if (it != g_pending.end()) {
                found.emplace(std::move(*it));
                g_pending.erase(it);
            }
        }
        if (!found) return E_UNEXPECTED;
        const HRESULT hr = FillExcepInfo(info, found->error);
        if (SUCCEEDED(hr)) info->pfnDeferredFillIn = nullptr;
        return hr;
    });
}

void AddPending(EXCEPINFO* info, ScriptedError error) {
    const ExclusiveLock lock(g_pendingLock);
    // The same EXCEPINFO used again replaces its old, never called, fill-in.
    std::erase_if(g_pending, [&](const PendingFillIn& p) { return p.info == info; });
    if (g_pending.size() >= kMaxPendingFillIns) g_pending.erase(g_pending.begin());
    g_pending.push_back(PendingFillIn{info, std::move(error), ModuleReference()});
}

}  // namespace

// The longest a pump:, modal: or hang: answer may keep a call waiting; a longer one is a typing error
// that would leave a test hanging.
constexpr std::uint32_t MaxActMs = 600000;

std::wstring ScriptFor(DISPID dispid) {
    wchar_t name[32];
    wsprintfW(name, L"TALVO_STANDIN_%08X", static_cast<unsigned>(dispid));
    return EnvironmentValue(name);
}

std::vector<std::wstring> SplitAnswers(std::wstring_view script) {
    std::vector<std::wstring> answers(1);
    for (size_t i = 0; i < script.size(); ++i) {
        const wchar_t c = script[i];
        if (c == L'|') {
            answers.emplace_back();
        } else if (c == L'\\' && i + 1 < script.size()) {
            const wchar_t next = script[i + 1];
            switch (next) {
                case L'|':
                case L'\\':
                    answers.back() += next;
                    ++i;
                    break;
                case L'0':
                    answers.back() += L'\0';
                    ++i;
                    break;
                case L'n':
                    answers.back() += L'\n';
                    ++i;
                    break;
                default:
                    answers.back() += c;
                    break;
            }
        } else {
            answers.back() += c;
        }
    }
    return answers;
}

Behaviour ParseBehaviour(std::wstring_view answer) {
    using B = Behaviour::Kind;
    const size_t colon = answer.find(L':');
    const std::wstring_view keyword = answer.substr(0, colon);
    if (colon == std::wstring_view::npos) {
        if (EqualsNoCase(keyword, L"av")) return {B::AccessViolation, 0, {}};
        if (EqualsNoCase(keyword, L"cxx")) return {B::CxxThrow, 0, {}};
        if (EqualsNoCase(keyword, L"overflow")) return {B::StackOverflow, 0, {}};
        if (EqualsNoCase(keyword, L"smash")) return {B::SmashedChain, 0, {}};
        if (EqualsNoCase(keyword, L"av-locked")) return {B::LockedFault, 0, {}};
        return {B::None, 0, answer};
    }
    const std::wstring_view rest = answer.substr(colon + 1);
    if (EqualsNoCase(keyword, L"handled")) return {B::Handled, 0, rest};
    const B kind = EqualsNoCase(keyword, L"pump")          ? B::Pump
                   : EqualsNoCase(keyword, L"modal")       ? B::Modal
                   : EqualsNoCase(keyword, L"hang")        ? B::Hang
                   : EqualsNoCase(keyword, L"hang-locked") ? B::LockedHang
                                                           : B::None;
    if (kind == B::None) return {B::None, 0, answer};
    const size_t msEnd = rest.find(L':');
    if (msEnd == std::wstring_view::npos) return {B::Unparsable, 0, {}};
    const auto msText = Ascii(rest.substr(0, msEnd));
    const auto ms = msText ? ParseWhole<std::uint32_t>(*msText, 10) : std::nullopt;
    if (!ms || *ms > MaxActMs) return {B::Unparsable, 0, {}};
    return {kind, *ms, rest.substr(msEnd + 1)};
}

ScriptOutcome ApplyAnswer(std::wstring_view answer, VARIANT* result, EXCEPINFO* excepInfo) {
    const size_t colon = answer.find(L':');
    const std::wstring_view keyword = answer.substr(0, colon);
    const bool hasRest = colon != std::wstring_view::npos;
    const std::wstring_view rest = hasRest ? answer.substr(colon + 1) : std::wstring_view();

    if (!hasRest) {
        if (EqualsNoCase(keyword, L"live")) return {Kind::Live, S_OK};
        if (EqualsNoCase(keyword, L"null") || EqualsNoCase(keyword, L"empty")) {
            if (result != nullptr) V_VT(result) = EqualsNoCase(keyword, L"null") ? VT_NULL : VT_EMPTY;
            return Answered(S_OK);
        }
        if (EqualsNoCase(keyword, L"dispatch")) return Answered(SetDispatch(result, EmptyDispatch::Fault::None));
        if (EqualsNoCase(keyword, L"array")) return Answered(SetArray(result));
        return Unparsable();
    }

    if (EqualsNoCase(keyword, L"dispatch")) {
        if (EqualsNoCase(rest, L"av-invoke")) return Answered(SetDispatch(result, EmptyDispatch::Fault::Invoke));
        if (EqualsNoCase(rest, L"av-release")) return Answered(SetDispatch(result, EmptyDispatch::Fault::Release));
        return Unparsable();
    }
    if (EqualsNoCase(keyword, L"str")) return Answered(SetBstr(result, rest));
    if (EqualsNoCase(keyword, L"rep")) return Repeat(rest, result);
    if (EqualsNoCase(keyword, L"i4")) {
        const auto value = ParseI4(rest);
        if (!value) return Unparsable();
        if (result != nullptr) {
            V_VT(result) = VT_I4;
            V_I4(result) = *value;
        }
        return Answered(S_OK);
    }
    if (EqualsNoCase(keyword, L"r8") || EqualsNoCase(keyword, L"date")) {
        const bool isDate = EqualsNoCase(keyword, L"date");
        const auto value = ParseDouble(rest);
        // A date must be a point in time; a double may be anything a double holds.
        if (!value || (isDate && !std::isfinite(*value))) return Unparsable();
        if (result != nullptr) {
            V_VT(result) = isDate ? VT_DATE : VT_R8;
            if (isDate) {
                V_DATE(result) = *value;
            } else {
                V_R8(result) = *value;
            }
        }
        return Answered(S_OK);
    }
    if (EqualsNoCase(keyword, L"bool")) {
        const bool isTrue = EqualsNoCase(rest, L"true");
        if (!isTrue && !EqualsNoCase(rest, L"false")) return Unparsable();
        if (result != nullptr) {
            V_VT(result) = VT_BOOL;
            V_BOOL(result) = isTrue ? VARIANT_TRUE : VARIANT_FALSE;
        }
        return Answered(S_OK);
    }
    if (EqualsNoCase(keyword, L"error") || EqualsNoCase(keyword, L"deferred")) {
        auto error = ParseError(rest);
        if (!error) return Unparsable();
        if (excepInfo == nullptr) return Answered(DISP_E_EXCEPTION);
        if (EqualsNoCase(keyword, L"error")) {
            const HRESULT hr = FillExcepInfo(excepInfo, *error);
            return Answered(FAILED(hr) ? hr : DISP_E_EXCEPTION);
        }
        AddPending(excepInfo, std::move(*error));
        *excepInfo = EXCEPINFO{};
        excepInfo->pfnDeferredFillIn = &FillDeferred;
        return Answered(DISP_E_EXCEPTION);
    }
    if (EqualsNoCase(keyword, L"hresult")) {
        const auto number = ParseNumber32(rest);
        // A success here would report a scripted failure as success.
        if (!number || !FAILED(static_cast<HRESULT>(number->value))) return Unparsable();
        return Answered(static_cast<HRESULT>(number->value));
    }
    return Unparsable();
}

}  // namespace standin
