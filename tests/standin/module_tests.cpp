// The DLL itself, loaded by hand as COM would load it: its class object, DllCanUnloadNow
// and what it leaves behind when it is unloaded.
#include <gtest/gtest.h>

#include <string>

#include "StandInClient.h"
#include "support/StandInScript.h"

using namespace standin_test;

namespace {

using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
using CanUnloadNowFn = HRESULT(STDAPICALLTYPE*)();

// Through void*: FARPROC is a placeholder type that never matches the real one.
template <typename Fn>
Fn Export(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

struct LoadedStandIn {
    unique_hmodule module{LoadLibraryW(StandInDllPath().c_str())};
    GetClassObjectFn getClassObject = Export<GetClassObjectFn>(module.get(), "DllGetClassObject");
    CanUnloadNowFn canUnloadNow = Export<CanUnloadNowFn>(module.get(), "DllCanUnloadNow");

    com_ptr<IClassFactory> Factory() const {
        com_ptr<IClassFactory> factory;
        EXPECT_EQ(getClassObject(Clsid, IID_IClassFactory, factory.put_void()), S_OK);
        return factory;
    }
};

}  // namespace

TEST(StandInModule, CanUnloadNowOnlyWhenNothingIsHeld) {
    OleApartment ole;
    LoadedStandIn dll;
    ASSERT_TRUE(dll.module && dll.getClassObject && dll.canUnloadNow);
    EXPECT_EQ(dll.canUnloadNow(), S_OK);

    com_ptr<IUnknown> wrong;
    EXPECT_EQ(dll.getClassObject(IID_IUnknown, IID_IClassFactory, wrong.put_void()), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_FALSE(wrong);

    com_ptr<IClassFactory> factory = dll.Factory();
    ASSERT_TRUE(factory);
    EXPECT_EQ(dll.canUnloadNow(), S_FALSE);
    com_ptr<IUnknown> aggregated;
    EXPECT_EQ(factory->CreateInstance(reinterpret_cast<IUnknown*>(factory.get()), IID_IUnknown, aggregated.put_void()),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    com_ptr<IDispatch> control;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, control.put_void()), S_OK);
    factory.reset();
    EXPECT_EQ(factory.get(), nullptr);
    EXPECT_EQ(dll.canUnloadNow(), S_FALSE);  // locked, and an object lives

    // An object the control handed out outlives the control and still holds the DLL.
    unique_variant held;
    {
        const ScopedEnv script = ScriptAnswers(LocalIp, L"dispatch|deferred:5:S:D");
        Reply reply(control.get(), LocalIp);
        ASSERT_EQ(reply.value->vt, VT_DISPATCH);
        VariantCopy(held.get(), reply.value.get());

        // So does a deferred fill-in not yet called: its pointer is into the DLL.
        Reply deferred(control.get(), LocalIp);
        ASSERT_NE(deferred.error.info.pfnDeferredFillIn, nullptr);
        control.reset();
        dll.Factory()->LockServer(FALSE);
        held.reset();
        EXPECT_EQ(dll.canUnloadNow(), S_FALSE);
        EXPECT_EQ(deferred.error.info.pfnDeferredFillIn(&deferred.error.info), S_OK);
        EXPECT_EQ(deferred.error.info.pfnDeferredFillIn, nullptr);
    }
    EXPECT_EQ(dll.canUnloadNow(), S_OK);
}

TEST(StandInModule, UnloadedAndLoadedAgainItActivatesAgain) {
    OleApartment ole;
    ContainerWindow container;
    const RECT position{5, 5, 105, 35};
    HMODULE lastModule = nullptr;
    std::wstring className;
    for (int round = 0; round < 2; ++round) {
        TestSite site(container.get(), position);
        {
            LoadedStandIn dll;
            ASSERT_TRUE(dll.module);
            lastModule = dll.module.get();
            {
                com_ptr<IOleObject> object;
                ASSERT_EQ(dll.Factory()->CreateInstance(nullptr, IID_IOleObject, object.put_void()), S_OK);
                ASSERT_EQ(object->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, &site, 0, container.get(), &position), S_OK)
                    << "round " << round;
                ASSERT_EQ(container.Children().size(), 1u);
                wchar_t name[256] = {};
                GetClassNameW(container.Children().front(), name, 256);
                className = name;
                EXPECT_EQ(object->Close(OLECLOSE_NOSAVE), S_OK);
            }
            EXPECT_EQ(dll.canUnloadNow(), S_OK);
        }
        EXPECT_EQ(GetModuleHandleW(StandInDllPath().c_str()), nullptr) << "the DLL stayed loaded";
        EXPECT_EQ(site.references, 0);
    }
    // Its window class went with it.
    WNDCLASSEXW info{};
    info.cbSize = sizeof(info);
    EXPECT_FALSE(GetClassInfoExW(lastModule, className.c_str(), &info));
}
