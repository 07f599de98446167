#include "Module.h"

#include <objbase.h>
#include <olectl.h>

#include "CallLog.h"
#include "Face.h"
#include "Identity.h"
#include "Registration.h"
#include "VbFunzioni.h"

namespace standin {

namespace {

HMODULE g_module = nullptr;
LONG g_references = 0;

class ClassFactory final : public IClassFactory {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppv = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    // The factory is static; a reference to it keeps the DLL, not the object, alive.
    STDMETHODIMP_(ULONG) AddRef() override {
        InterlockedIncrement(&g_references);
        return 2;
    }
    STDMETHODIMP_(ULONG) Release() override {
        InterlockedDecrement(&g_references);
        return 1;
    }

    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (outer != nullptr) return CLASS_E_NOAGGREGATION;
        return Guarded([&] { return CreateVbFunzioni(riid, ppv); });
    }
    STDMETHODIMP LockServer(BOOL lock) override {
        if (lock) {
            InterlockedIncrement(&g_references);
        } else {
            InterlockedDecrement(&g_references);
        }
        return S_OK;
    }
};

ClassFactory g_factory;

}  // namespace

HMODULE ModuleHandle() noexcept { return g_module; }

ModuleReference::ModuleReference() noexcept { InterlockedIncrement(&g_references); }
ModuleReference::ModuleReference(const ModuleReference&) noexcept { InterlockedIncrement(&g_references); }
ModuleReference::~ModuleReference() { InterlockedDecrement(&g_references); }

}  // namespace standin

// cppcheck-suppress constParameter ; the entry point's signature is the platform's
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            standin::g_module = instance;
            DisableThreadLibraryCalls(instance);
            break;
        case DLL_PROCESS_DETACH:
            standin::LogLine("detach");
            // On FreeLibrary only: at process exit the class goes with the process, and the
            // window manager may already be gone.
            if (reserved == nullptr) standin::UnregisterFaceWindowClass();
            break;
        default:
            break;
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (rclsid != standin::kClsidVbFunzioni) return CLASS_E_CLASSNOTAVAILABLE;
    return standin::g_factory.QueryInterface(riid, ppv);
}

STDAPI DllCanUnloadNow() { return InterlockedCompareExchange(&standin::g_references, 0, 0) == 0 ? S_OK : S_FALSE; }

STDAPI DllRegisterServer() {
    return standin::Guarded([] { return standin::RegisterServer(); });
}

STDAPI DllUnregisterServer() {
    return standin::Guarded([] { return standin::UnregisterServer(); });
}
