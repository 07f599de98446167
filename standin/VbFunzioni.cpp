#include "VbFunzioni.h"

#include <ocidl.h>
#include <olectl.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "CallLog.h"
#include "Demands.h"
#include "Face.h"
#include "Identity.h"
#include "MachineFacts.h"
#include "Misbehaviour.h"
#include "Module.h"
#include "Probe.h"
#include "Script.h"
#include "Text.h"
#include "Unique.h"

namespace standin {

namespace {

struct Member {
    DISPID dispid;
    const wchar_t* name;
};
constexpr std::array<Member, 3> kMembers{{
    {kDispidLocalIp, L"LocalIP"},
    {kDispidMacAddress, L"MacAddress"},
    {kDispidPelloraStatus, L"PelloraStatus"},
}};

int MemberIndex(DISPID dispid) {
    for (size_t i = 0; i < kMembers.size(); ++i) {
        if (kMembers[i].dispid == dispid) return static_cast<int>(i);
    }
    return -1;
}

// A 1-inch by 1/3-inch control until the container or its saved state says otherwise.
constexpr SIZEL kDefaultExtent{2540, 847};

// Saved state for IPersistStreamInit: a tag, a version and the extent.
constexpr DWORD kStreamTag = 0x49535654;  // "TVSI"
constexpr DWORD kStreamVersion = 1;
struct StreamState {
    DWORD tag;
    DWORD version;
    LONG cx;
    LONG cy;
};

void LogRect(const char* what, const RECT& r) {
    LogLine(Format("%s left=%ld top=%ld right=%ld bottom=%ld", what, static_cast<long>(r.left),
                   static_cast<long>(r.top), static_cast<long>(r.right), static_cast<long>(r.bottom)));
}

std::wstring LiveAnswer(DISPID dispid) {
    switch (dispid) {
        case kDispidLocalIp:
            return LocalAdapter().ipv4;
        case kDispidMacAddress:
            return LocalAdapter().mac;
        default:
            return PelloraStatus();
    }
}

// Reads an extent value from a property bag; a value that is not a positive whole number
// of HIMETRIC units is not taken.
bool ReadExtentValue(IPropertyBag* bag, IErrorLog* errorLog, const wchar_t* name, LONG& value) {
    unique_variant raw;
    V_VT(raw.get()) = VT_I4;  // the type we would like the bag to give
    if (FAILED(bag->Read(name, raw.get(), errorLog))) return false;
    unique_variant number;
    if (FAILED(VariantChangeType(number.get(), raw.get(), 0, VT_I4)) || V_I4(number.get()) <= 0) return false;
    value = V_I4(number.get());
    return true;
}

class VbFunzioni final : public IDispatch,
                         public IOleObject,
                         public IOleInPlaceObject,
                         public IOleControl,
                         public IViewObject2,
                         public IPersistStreamInit,
                         public IPersistPropertyBag,
                         public IOleInPlaceActiveObject,
                         private FaceEvents {
public:
    VbFunzioni() : demands_(ReadDemands()) {}
    VbFunzioni(const VbFunzioni&) = delete;
    VbFunzioni& operator=(const VbFunzioni&) = delete;
    // A container that drops its last reference while the control is in place makes no
    // more calls; the window still goes with the object (window_ is its last member).
    ~VbFunzioni() = default;

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IDispatch) {
            *ppv = static_cast<IDispatch*>(this);
        } else if (riid == IID_IOleObject) {
            *ppv = static_cast<IOleObject*>(this);
        } else if (riid == IID_IOleInPlaceObject || riid == IID_IOleWindow) {
            *ppv = static_cast<IOleInPlaceObject*>(this);
        } else if (riid == IID_IOleControl) {
            *ppv = static_cast<IOleControl*>(this);
        } else if (riid == IID_IViewObject2 || riid == IID_IViewObject) {
            *ppv = static_cast<IViewObject2*>(this);
        } else if (riid == IID_IPersistStreamInit || riid == IID_IPersist) {
            *ppv = static_cast<IPersistStreamInit*>(this);
        } else if (riid == IID_IPersistPropertyBag) {
            *ppv = static_cast<IPersistPropertyBag*>(this);
        } else if (riid == IID_IOleInPlaceActiveObject && demands_.edit) {
            *ppv = static_cast<IOleInPlaceActiveObject*>(this);
        } else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&references_); }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = InterlockedDecrement(&references_);
        if (left == 0) {
            LogLine("released");
            // Let go of inside a call that runs the container's messages: the call still
            // uses the object, which goes when the call is over.
            if (calling_ == 0) {
                delete this;
            } else {
                orphaned_ = true;
            }
        }
        return left;
    }

    // IDispatch
    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        if (count == nullptr) return E_POINTER;
        *count = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
        if (info != nullptr) *info = nullptr;
        return DISP_E_BADINDEX;
    }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
        if (count == 0) return S_OK;
        if (names == nullptr || ids == nullptr) return E_POINTER;
        // The members take no arguments, so any further name (of an argument) is unknown.
        for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
        if (names[0] != nullptr) {
            for (const Member& member : kMembers) {
                if (CompareStringOrdinal(names[0], -1, member.name, -1, TRUE) == CSTR_EQUAL) ids[0] = member.dispid;
            }
        }
        return ids[0] != DISPID_UNKNOWN && count == 1 ? S_OK : DISP_E_UNKNOWNNAME;
    }
    STDMETHODIMP Invoke(DISPID dispid, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* excepInfo, UINT* argErr) override {
        ++calling_;
        const HRESULT hr = Guarded([&] { return DoInvoke(dispid, riid, flags, params, result, excepInfo, argErr); });
        LogLine(Format("invoke end dispid=0x%08lX", static_cast<unsigned long>(dispid)));
        if (--calling_ == 0 && orphaned_) delete this;
        return hr;
    }

    // IOleObject
    STDMETHODIMP SetClientSite(IOleClientSite* site) override {
        if (site != nullptr && demands_.avSiting) RaiseAccessViolation();
        if (demands_.logSite) LogLine(site != nullptr ? "site set" : "site cleared");
        clientSite_ = com_ptr<IOleClientSite>(site);
        if (site != nullptr && demands_.probe) ProbeSite(site);
        return S_OK;
    }
    STDMETHODIMP GetClientSite(IOleClientSite** site) override {
        if (site == nullptr) return E_POINTER;
        *site = com_ptr<IOleClientSite>(clientSite_).detach();
        return S_OK;
    }
    STDMETHODIMP SetHostNames(LPCOLESTR, LPCOLESTR) override { return S_OK; }
    STDMETHODIMP Close(DWORD) override {
        if (demands_.avTeardown) RaiseAccessViolation();
        return Guarded([&] {
            // Nothing to save: the control has no state a container would lose.
            Deactivate();
            if (adviseHolder_) adviseHolder_->SendOnClose();
            LogLine("close");
            return S_OK;
        });
    }
    STDMETHODIMP SetMoniker(DWORD, IMoniker*) override { return E_NOTIMPL; }
    STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker** moniker) override {
        if (moniker != nullptr) *moniker = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP InitFromData(IDataObject*, BOOL, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP GetClipboardData(DWORD, IDataObject** data) override {
        if (data != nullptr) *data = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP DoVerb(LONG verb, LPMSG, IOleClientSite* activeSite, LONG, HWND, LPCRECT) override {
        LogLine(Format("doverb %ld", static_cast<long>(verb)));
        if (demands_.avActivation || (demands_.avFocus && verb == OLEIVERB_UIACTIVATE && pumping_ > 0))
            RaiseAccessViolation();
        if (demands_.hangActivation) Sleep(kHangActivationMs);
        // As the platform's Script control: nothing to show, whatever the verb.
        if (demands_.invisible) return E_NOTIMPL;
        return Guarded([&]() -> HRESULT {
            switch (verb) {
                case OLEIVERB_UIACTIVATE: {
                    const HRESULT hr = Activate(activeSite != nullptr ? activeSite : clientSite_.get());
                    return FAILED(hr) || !demands_.edit ? hr : UIActivate();
                }
                case OLEIVERB_PRIMARY:
                case OLEIVERB_SHOW:
                case OLEIVERB_INPLACEACTIVATE:
                    // Inside-out: in-place active is as active as the control gets, unless it
                    // has an edit box to type in.
                    return Activate(activeSite != nullptr ? activeSite : clientSite_.get());
                case OLEIVERB_HIDE:
                    if (window_) ShowWindow(window_.get(), SW_HIDE);
                    return S_OK;
                default:
                    return verb < 0 ? E_NOTIMPL : OLEOBJ_S_INVALIDVERB;
            }
        });
    }
    STDMETHODIMP EnumVerbs(IEnumOLEVERB** verbs) override {
        if (verbs != nullptr) *verbs = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP Update() override { return S_OK; }
    STDMETHODIMP IsUpToDate() override { return S_OK; }
    STDMETHODIMP GetUserClassID(CLSID* clsid) override {
        if (clsid == nullptr) return E_POINTER;
        *clsid = kClsidVbFunzioni;
        return S_OK;
    }
    STDMETHODIMP GetUserType(DWORD, LPOLESTR* name) override {
        if (name != nullptr) *name = nullptr;
        return OLE_S_USEREG;
    }
    STDMETHODIMP SetExtent(DWORD aspect, SIZEL* size) override {
        if (size == nullptr) return E_POINTER;
        if (demands_.noExtent) {
            LogLine("extent refused");
            return E_NOTIMPL;
        }
        if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
        extent_ = *size;
        LogLine(Format("extent cx=%ld cy=%ld", static_cast<long>(size->cx), static_cast<long>(size->cy)));
        return S_OK;
    }
    STDMETHODIMP GetExtent(DWORD aspect, SIZEL* size) override {
        if (size == nullptr) return E_POINTER;
        if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
        *size = extent_;
        return S_OK;
    }
    STDMETHODIMP Advise(IAdviseSink* sink, DWORD* connection) override {
        if (connection == nullptr) return E_POINTER;
        *connection = 0;
        if (!adviseHolder_) {
            const HRESULT hr = CreateOleAdviseHolder(adviseHolder_.put());
            if (FAILED(hr)) return hr;
        }
        return adviseHolder_->Advise(sink, connection);
    }
    STDMETHODIMP Unadvise(DWORD connection) override {
        if (!adviseHolder_) return OLE_E_NOCONNECTION;
        return adviseHolder_->Unadvise(connection);
    }
    STDMETHODIMP EnumAdvise(IEnumSTATDATA** advises) override {
        if (advises == nullptr) return E_POINTER;
        *advises = nullptr;
        if (!adviseHolder_) return S_OK;
        return adviseHolder_->EnumAdvise(advises);
    }
    STDMETHODIMP GetMiscStatus(DWORD aspect, DWORD* status) override {
        if (status == nullptr) return E_POINTER;
        if (demands_.useReg) {
            *status = 0;
            return OLE_S_USEREG;
        }
        const DWORD invisible = demands_.invisible ? OLEMISC_INVISIBLEATRUNTIME : 0;
        *status = aspect == DVASPECT_CONTENT ? kMiscStatusContent | invisible : 0;
        return S_OK;
    }
    STDMETHODIMP SetColorScheme(LOGPALETTE*) override { return E_NOTIMPL; }

    // IOleWindow / IOleInPlaceObject
    STDMETHODIMP GetWindow(HWND* window) override {
        if (window == nullptr) return E_POINTER;
        *window = window_.get();
        return window_ ? S_OK : E_FAIL;
    }
    STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP InPlaceDeactivate() override {
        return Guarded([&] {
            Deactivate();
            return S_OK;
        });
    }
    STDMETHODIMP UIDeactivate() override {
        return Guarded([&] {
            LeaveUi();
            return S_OK;
        });
    }
    STDMETHODIMP SetObjectRects(LPCRECT position, LPCRECT) override {
        if (position == nullptr) return E_POINTER;
        LogRect("rects", *position);
        if (window_) {
            MoveWindow(window_.get(), position->left, position->top, position->right - position->left,
                       position->bottom - position->top, TRUE);
        }
        return S_OK;
    }
    STDMETHODIMP ReactivateAndUndo() override { return INPLACE_E_NOTUNDOABLE; }

    // IOleControl
    STDMETHODIMP GetControlInfo(CONTROLINFO* info) override {
        if (info == nullptr) return E_POINTER;
        if (info->cb < sizeof(CONTROLINFO)) return E_INVALIDARG;
        info->hAccel = nullptr;
        info->cAccel = 0;
        info->dwFlags = 0;
        return S_OK;
    }
    STDMETHODIMP OnMnemonic(MSG*) override { return E_NOTIMPL; }
    STDMETHODIMP OnAmbientPropertyChange(DISPID) override { return S_OK; }
    STDMETHODIMP FreezeEvents(BOOL) override { return S_OK; }

    // IViewObject / IViewObject2
    STDMETHODIMP Draw(DWORD aspect, LONG, void*, DVTARGETDEVICE*, HDC, HDC dc, LPCRECTL bounds, LPCRECTL,
                      BOOL(STDMETHODCALLTYPE*)(ULONG_PTR), ULONG_PTR) override {
        if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
        if (dc == nullptr || bounds == nullptr) return E_INVALIDARG;
        const RECT rect{bounds->left, bounds->top, bounds->right, bounds->bottom};
        PaintFace(dc, rect);
        return S_OK;
    }
    STDMETHODIMP GetColorSet(DWORD, LONG, void*, DVTARGETDEVICE*, HDC, LOGPALETTE** palette) override {
        if (palette != nullptr) *palette = nullptr;
        return S_FALSE;  // no particular colours
    }
    STDMETHODIMP Freeze(DWORD, LONG, void*, DWORD* freeze) override {
        if (freeze != nullptr) *freeze = 0;
        return E_NOTIMPL;
    }
    STDMETHODIMP Unfreeze(DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP SetAdvise(DWORD aspects, DWORD adviseFlags, IAdviseSink* sink) override {
        viewSink_ = com_ptr<IAdviseSink>(sink);
        viewAspects_ = aspects;
        viewAdviseFlags_ = adviseFlags;
        return S_OK;
    }
    STDMETHODIMP GetAdvise(DWORD* aspects, DWORD* adviseFlags, IAdviseSink** sink) override {
        if (aspects != nullptr) *aspects = viewAspects_;
        if (adviseFlags != nullptr) *adviseFlags = viewAdviseFlags_;
        if (sink != nullptr) *sink = com_ptr<IAdviseSink>(viewSink_).detach();
        return S_OK;
    }
    STDMETHODIMP GetExtent(DWORD aspect, LONG, DVTARGETDEVICE*, LPSIZEL size) override {
        return GetExtent(aspect, size);
    }

    // IPersist / IPersistStreamInit / IPersistPropertyBag
    STDMETHODIMP GetClassID(CLSID* clsid) override {
        if (clsid == nullptr) return E_POINTER;
        *clsid = kClsidVbFunzioni;
        return S_OK;
    }
    STDMETHODIMP IsDirty() override { return S_FALSE; }
    STDMETHODIMP Load(IStream* stream) override {
        if (stream == nullptr) return E_POINTER;
        StreamState state{};
        auto* bytes = reinterpret_cast<BYTE*>(&state);
        ULONG have = 0;
        // A stream may give less than asked for per read; an early end is not our state.
        while (have < sizeof(state)) {
            ULONG got = 0;
            const HRESULT hr = stream->Read(bytes + have, sizeof(state) - have, &got);
            if (FAILED(hr)) return hr;
            if (got == 0) return E_FAIL;
            have += got;
        }
        if (state.tag != kStreamTag || state.version != kStreamVersion || state.cx <= 0 || state.cy <= 0) return E_FAIL;
        extent_ = {state.cx, state.cy};
        return S_OK;
    }
    STDMETHODIMP Save(IStream* stream, BOOL) override {
        if (stream == nullptr) return E_POINTER;
        const StreamState state{kStreamTag, kStreamVersion, extent_.cx, extent_.cy};
        ULONG written = 0;
        const HRESULT hr = stream->Write(&state, sizeof(state), &written);
        if (FAILED(hr)) return hr;
        return written == sizeof(state) ? S_OK : STG_E_WRITEFAULT;
    }
    STDMETHODIMP GetSizeMax(ULARGE_INTEGER* size) override {
        if (size == nullptr) return E_POINTER;
        size->QuadPart = sizeof(StreamState);
        return S_OK;
    }
    STDMETHODIMP InitNew() override {
        LogLine("initnew");
        return S_OK;
    }
    STDMETHODIMP Load(IPropertyBag* bag, IErrorLog* errorLog) override {
        if (bag == nullptr) return E_POINTER;
        if (demands_.noPropBag) {
            LogLine("propbag refused");
            return E_FAIL;
        }
        return Guarded([&] {
            LONG cx = extent_.cx;
            LONG cy = extent_.cy;
            const bool haveX = ReadExtentValue(bag, errorLog, L"_ExtentX", cx);
            const bool haveY = ReadExtentValue(bag, errorLog, L"_ExtentY", cy);
            if (haveX || haveY) {
                extent_ = {cx, cy};
                LogLine(Format("propbag cx=%ld cy=%ld", static_cast<long>(cx), static_cast<long>(cy)));
            }
            return S_OK;
        });
    }
    STDMETHODIMP Save(IPropertyBag* bag, BOOL, BOOL) override {
        if (bag == nullptr) return E_POINTER;
        VARIANT value;
        V_VT(&value) = VT_I4;
        V_I4(&value) = extent_.cx;
        HRESULT hr = bag->Write(L"_ExtentX", &value);
        if (FAILED(hr)) return hr;
        V_I4(&value) = extent_.cy;
        return bag->Write(L"_ExtentY", &value);
    }

    // IOleInPlaceActiveObject (the edit demand only)
    STDMETHODIMP TranslateAccelerator(LPMSG message) override {
        if (message == nullptr) return E_INVALIDARG;
        if (message->message == WM_KEYDOWN || message->message == WM_SYSKEYDOWN) {
            LogLine(Format("accelerator message=0x%04X key=0x%02X", message->message,
                           static_cast<unsigned>(message->wParam)));
        }
        // The edit box takes its keys as they come; Tab and the rest are the container's.
        return S_FALSE;
    }
    STDMETHODIMP OnFrameWindowActivate(BOOL) override { return S_OK; }
    STDMETHODIMP OnDocWindowActivate(BOOL) override { return S_OK; }
    STDMETHODIMP ResizeBorder(LPCRECT, IOleInPlaceUIWindow*, BOOL) override { return S_OK; }
    STDMETHODIMP EnableModeless(BOOL) override { return S_OK; }

private:
    HRESULT DoInvoke(DISPID dispid, REFIID riid, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo,
                     UINT*) {
        const UINT args = params != nullptr ? params->cArgs : 0;
        const UINT named = params != nullptr ? params->cNamedArgs : 0;
        LogLine(Format("invoke dispid=0x%08lX flags=%u args=%u named=%u", static_cast<unsigned long>(dispid),
                       static_cast<unsigned>(flags), args, named));
        if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
        const int index = MemberIndex(dispid);
        // Read-only members: a property put finds nothing to set.
        if (index < 0 || (flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET)) == 0) return DISP_E_MEMBERNOTFOUND;
        if (args != 0 || named != 0) return DISP_E_BADPARAMCOUNT;
        if (result != nullptr) VariantInit(result);

        const size_t call = calls_[static_cast<size_t>(index)]++;
        const std::wstring script = ScriptFor(dispid);
        if (!script.empty()) {
            const std::vector<std::wstring> answers = SplitAnswers(script);
            const std::wstring& scripted = answers[std::min(call, answers.size() - 1)];
            std::wstring_view answer = scripted;
            for (Behaviour act = ParseBehaviour(answer); act.kind != Behaviour::Kind::None;
                 act = ParseBehaviour(answer)) {
                if (act.kind == Behaviour::Kind::Unparsable) return Unparsable(dispid, scripted);
                const HRESULT hr = Act(dispid, act);
                if (FAILED(hr)) return hr;
                answer = act.answer;
            }
            const ScriptOutcome outcome = ApplyAnswer(answer, result, excepInfo);
            if (outcome.kind == ScriptOutcome::Kind::Unparsable) return Unparsable(dispid, scripted);
            if (outcome.kind == ScriptOutcome::Kind::Answered) return outcome.hr;
        }

        const std::wstring text = LiveAnswer(dispid);
        if (result == nullptr) return S_OK;
        BSTR value = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        if (value == nullptr) return E_OUTOFMEMORY;
        V_VT(result) = VT_BSTR;
        V_BSTR(result) = value;
        return S_OK;
    }

    static HRESULT Unparsable(DISPID dispid, const std::wstring& answer) {
        const std::string line =
            Format("script dispid=0x%08lX unparsable answer: ", static_cast<unsigned long>(dispid)) + ToUtf8(answer);
        LogLine(line);
        OutputDebugStringA(("VbFunzioniStandIn: " + line + "\n").c_str());
        return E_INVALIDARG;
    }

    // What a behaviour form does before the answer; a failure is the call's answer.
    HRESULT Act(DISPID dispid, const Behaviour& act) {
        switch (act.kind) {
            case Behaviour::Kind::Pump:
                LogLine(Format("pump start dispid=0x%08lX", static_cast<unsigned long>(dispid)));
                ++pumping_;
                PumpMessages(act.ms);
                --pumping_;
                LogLine(Format("pump end dispid=0x%08lX", static_cast<unsigned long>(dispid)));
                return S_OK;
            case Behaviour::Kind::Modal: {
                LogLine("modal start");
                const HRESULT hr = ShowTimedModal(ModalOwner(), act.ms);
                LogLine("modal end");
                return hr;
            }
            case Behaviour::Kind::Hang:
            case Behaviour::Kind::LockedHang: {
                // Stuck as on a network time-out, no messages dispatched; or inside an allocation,
                // holding the process heap's lock.
                const bool locked = act.kind == Behaviour::Kind::LockedHang;
                LogLine(Format("hang start dispid=0x%08lX", static_cast<unsigned long>(dispid)));
                if (locked) HeapLock(GetProcessHeap());
                Sleep(act.ms);
                if (locked) HeapUnlock(GetProcessHeap());
                LogLine(Format("hang end dispid=0x%08lX", static_cast<unsigned long>(dispid)));
                return S_OK;
            }
            case Behaviour::Kind::Handled:
                if (!RaiseAndHandle()) return E_UNEXPECTED;
                LogLine("handled exception");
                return S_OK;
            case Behaviour::Kind::AccessViolation:
                RaiseAccessViolation();
                break;
            case Behaviour::Kind::CxxThrow:
                RaiseCxxThrow();
                break;
            case Behaviour::Kind::StackOverflow:
                OverflowStack();
                break;
            case Behaviour::Kind::SmashedChain:
                SmashChainAndFault();
                break;
            case Behaviour::Kind::LockedFault:
                FaultHoldingTheHeap();
                break;
            default:
                break;
        }
        return E_UNEXPECTED;  // only when something outside continued the exception
    }

    // The container's top-level window, as a control finds it for a dialog of its own.
    HWND ModalOwner() const {
        HWND window = nullptr;
        com_ptr<IOleWindow> site(inPlaceSite_.get());
        if (!site && clientSite_) site = clientSite_.try_query<IOleWindow>();
        if (site && SUCCEEDED(site->GetWindow(&window)) && window != nullptr) {
            if (HWND root = GetAncestor(window, GA_ROOT)) return root;
        }
        return GetActiveWindow();
    }

    HRESULT Activate(IOleClientSite* site) {
        if (window_) {
            ShowWindow(window_.get(), SW_SHOWNA);  // after OLEIVERB_HIDE
            return S_OK;
        }
        if (site == nullptr) return E_UNEXPECTED;
        com_ptr<IOleInPlaceSite> inPlaceSite;
        com_ptr<IOleInPlaceSiteEx> siteEx;
        HRESULT hr = S_OK;
        if (demands_.siteEx) {
            // As controls whose fallback to the plain site is broken.
            if (FAILED(site->QueryInterface(IID_IOleInPlaceSiteEx, siteEx.put_void()))) return E_NOINTERFACE;
            inPlaceSite = com_ptr<IOleInPlaceSite>(siteEx.get());
        } else {
            hr = site->QueryInterface(IID_IOleInPlaceSite, inPlaceSite.put_void());
            if (FAILED(hr)) return hr;
        }
        if (inPlaceSite->CanInPlaceActivate() != S_OK) return E_FAIL;
        if (siteEx) {
            BOOL redraw = FALSE;
            hr = siteEx->OnInPlaceActivateEx(&redraw, 0);
        } else {
            hr = inPlaceSite->OnInPlaceActivate();
        }
        if (FAILED(hr)) return hr;

        HWND parent = nullptr;
        com_ptr<IOleInPlaceFrame> frame;
        com_ptr<IOleInPlaceUIWindow> document;
        RECT position{};
        RECT clip{};
        OLEINPLACEFRAMEINFO frameInfo{};
        frameInfo.cb = sizeof(frameInfo);
        hr = inPlaceSite->GetWindow(&parent);
        if (SUCCEEDED(hr))
            hr = inPlaceSite->GetWindowContext(frame.put(), document.put(), &position, &clip, &frameInfo);
        if (SUCCEEDED(hr) && parent == nullptr) hr = E_UNEXPECTED;
        if (SUCCEEDED(hr)) {
            LogRect("inplace", position);
            window_.reset(CreateFaceWindow(parent, position, demands_.edit ? this : nullptr));
            if (!window_) hr = HRESULT_FROM_WIN32(GetLastError());
            if (SUCCEEDED(hr) && !window_) hr = E_FAIL;
        }
        if (SUCCEEDED(hr) && demands_.edit) {
            edit_ = AddFaceEdit(window_.get());
            if (edit_ == nullptr) hr = HRESULT_FROM_WIN32(GetLastError());
            if (SUCCEEDED(hr) && edit_ == nullptr) hr = E_FAIL;
        }
        if (FAILED(hr)) {
            window_.reset();
            edit_ = nullptr;
            TellDeactivated(inPlaceSite.get(), siteEx.get());
            return hr;
        }
        inPlaceSite_ = inPlaceSite;
        inPlaceSiteEx_ = siteEx;
        if (siteEx) LogLine("activated through siteex");
        return S_OK;
    }

    static void TellDeactivated(IOleInPlaceSite* site, IOleInPlaceSiteEx* siteEx) {
        if (siteEx != nullptr) {
            siteEx->OnInPlaceDeactivateEx(TRUE);
        } else {
            site->OnInPlaceDeactivate();
        }
    }

    void Deactivate() {
        if (!inPlaceSite_) return;
        LeaveUi();
        if (!inPlaceSite_) return;  // the site deactivated us while it was told
        window_.reset();
        edit_ = nullptr;
        LogLine("deactivate");
        // Taken out first: the site may call back into us while it is told.
        const com_ptr<IOleInPlaceSite> site = std::move(inPlaceSite_);
        const com_ptr<IOleInPlaceSiteEx> siteEx = std::move(inPlaceSiteEx_);
        TellDeactivated(site.get(), siteEx.get());
    }

    // UI activation, for the edit box: once, until UIDeactivate or deactivation.
    HRESULT UIActivate() {
        if (!demands_.edit || !inPlaceSite_ || uiActive_ || enteringUi_) return S_OK;
        enteringUi_ = true;
        HRESULT hr = inPlaceSite_->OnUIActivate();
        if (SUCCEEDED(hr) && inPlaceSite_) {
            uiActive_ = true;
            RECT position{};
            RECT clip{};
            OLEINPLACEFRAMEINFO frameInfo{};
            frameInfo.cb = sizeof(frameInfo);
            com_ptr<IOleInPlaceFrame> frame;
            com_ptr<IOleInPlaceUIWindow> uiWindow;
            if (SUCCEEDED(inPlaceSite_->GetWindowContext(frame.put(), uiWindow.put(), &position, &clip, &frameInfo))) {
                frame_ = frame;
                uiWindow_ = uiWindow;
            }
            IOleInPlaceActiveObject* self = this;
            if (frame_) frame_->SetActiveObject(self, L"VbFunzioni");
            if (uiWindow_) uiWindow_->SetActiveObject(self, L"VbFunzioni");
            if (const auto controlSite = inPlaceSite_.try_query<IOleControlSite>()) controlSite->OnFocus(TRUE);
            if (edit_ != nullptr && GetFocus() != edit_) SetFocus(edit_);
            LogLine("uiactivate");
        } else if (SUCCEEDED(hr)) {
            hr = E_UNEXPECTED;  // deactivated by the site while it was told
        }
        enteringUi_ = false;
        return hr;
    }

    void LeaveUi() {
        if (!uiActive_) return;
        uiActive_ = false;
        const com_ptr<IOleInPlaceFrame> frame = std::move(frame_);
        const com_ptr<IOleInPlaceUIWindow> uiWindow = std::move(uiWindow_);
        if (frame) frame->SetActiveObject(nullptr, nullptr);
        if (uiWindow) uiWindow->SetActiveObject(nullptr, nullptr);
        const com_ptr<IOleInPlaceSite> site = inPlaceSite_;
        if (site) {
            site->OnUIDeactivate(FALSE);
            if (const auto controlSite = site.try_query<IOleControlSite>()) controlSite->OnFocus(FALSE);
        }
        LogLine("uideactivate");
    }

    void OnEditFocus() noexcept override {
        // A window procedure: nothing may leave it.
        Guarded([&] { return UIActivate(); });
    }

    LONG references_ = 1;
    int calling_ = 0;  // Invokes in progress on this thread
    bool orphaned_ = false;
    ModuleReference module_;
    Demands demands_;
    int pumping_ = 0;  // inside a member, running a message loop of its own
    std::array<size_t, kMembers.size()> calls_{};
    SIZEL extent_ = kDefaultExtent;
    com_ptr<IOleClientSite> clientSite_;
    com_ptr<IOleInPlaceSite> inPlaceSite_;
    com_ptr<IOleInPlaceSiteEx> inPlaceSiteEx_;
    com_ptr<IOleInPlaceFrame> frame_;
    com_ptr<IOleInPlaceUIWindow> uiWindow_;
    bool uiActive_ = false;
    bool enteringUi_ = false;
    HWND edit_ = nullptr;  // a child of window_, which destroys it
    com_ptr<IOleAdviseHolder> adviseHolder_;
    com_ptr<IAdviseSink> viewSink_;
    DWORD viewAspects_ = 0;
    DWORD viewAdviseFlags_ = 0;
    unique_hwnd window_;
};

}  // namespace

HRESULT CreateVbFunzioni(REFIID riid, void** ppv) {
    auto* control = new VbFunzioni();
    const HRESULT hr = control->QueryInterface(riid, ppv);
    control->Release();
    return hr;
}

}  // namespace standin
