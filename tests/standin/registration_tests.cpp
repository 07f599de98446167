// DllUnregisterServer and DllRegisterServer of the stand-in, in this build's Wine prefix.
// The class is always registered again at the end, whatever happened: the other tests
// create the control through it.
#include <windows.h>
#include <ole2.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "Text.h"
#include "Unique.h"

namespace {

constexpr CLSID Clsid = {0xCDD9DE31, 0xFF13, 0x4496, {0xBA, 0xD9, 0x9F, 0x41, 0x89, 0xD5, 0x12, 0x72}};
const std::string ClsidKey = "CLSID\\{CDD9DE31-FF13-4496-BAD9-9F4189D51272}";
const std::string ProgIdKey = "TALVO_VB6.VbFunzioni";

using ServerFn = HRESULT(STDAPICALLTYPE*)();

std::wstring DllPath() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring text(path, length);
    return text.substr(0, text.find_last_of(L'\\') + 1) + L"VbFunzioniStandIn.dll";
}

ServerFn Export(HMODULE module, const char* name) {
    return reinterpret_cast<ServerFn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

bool KeyExists(const std::string& path, REGSAM view = KEY_WOW64_32KEY) {
    unique_hkey key;
    return RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ | view, key.put()) == ERROR_SUCCESS;
}

// A REG_SZ value as text; nullopt when missing or of another type.
std::optional<std::string> Value(const std::string& path, const char* name = nullptr) {
    unique_hkey key;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ | KEY_WOW64_32KEY, key.put()) != ERROR_SUCCESS)
        return std::nullopt;
    char data[1024] = {};
    DWORD size = sizeof(data) - 1;
    DWORD type = 0;
    if (RegQueryValueExA(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) != ERROR_SUCCESS ||
        type != REG_SZ)
        return std::nullopt;
    return std::string(data);
}

// Registers the class again on the way out of the test, passed or failed.
struct RegisteredAtExit {
    ServerFn registerServer;
    ~RegisteredAtExit() {
        if (registerServer != nullptr) registerServer();
    }
};

}  // namespace

TEST(StandInRegistration, UnregisterRemovesEverythingAndRegisterPutsItBack) {
    ASSERT_EQ(OleInitialize(nullptr), S_OK);
    const unique_hmodule dll(LoadLibraryW(DllPath().c_str()));
    ASSERT_TRUE(dll);
    const ServerFn registerServer = Export(dll.get(), "DllRegisterServer");
    const ServerFn unregisterServer = Export(dll.get(), "DllUnregisterServer");
    ASSERT_TRUE(registerServer && unregisterServer);
    const RegisteredAtExit guard{registerServer};

    ASSERT_EQ(unregisterServer(), S_OK);
    EXPECT_FALSE(KeyExists(ClsidKey));
    EXPECT_FALSE(KeyExists(ProgIdKey));
    CLSID clsid{};
    EXPECT_TRUE(FAILED(CLSIDFromProgID(L"TALVO_VB6.VbFunzioni", &clsid)));
    EXPECT_EQ(unregisterServer(), S_OK) << "nothing registered is no error";

    ASSERT_EQ(registerServer(), S_OK);
    EXPECT_EQ(Value(ClsidKey), "VbFunzioni stand-in control");
    const std::optional<std::string> server = Value(ClsidKey + "\\InprocServer32");
    ASSERT_TRUE(server);
    EXPECT_EQ(CompareStringOrdinal(FromAnsi(*server).c_str(), -1, DllPath().c_str(), -1, TRUE), CSTR_EQUAL) << *server;
    EXPECT_EQ(Value(ClsidKey + "\\InprocServer32", "ThreadingModel"), "Apartment");
    EXPECT_EQ(Value(ClsidKey + "\\ProgID"), "TALVO_VB6.VbFunzioni");
    EXPECT_TRUE(KeyExists(ClsidKey + "\\Control"));
    EXPECT_EQ(Value(ClsidKey + "\\MiscStatus"), "0");
    EXPECT_EQ(Value(ClsidKey + "\\MiscStatus\\1"), "131473");
    EXPECT_EQ(Value(ProgIdKey), "VbFunzioni stand-in control");
    EXPECT_EQ(Value(ProgIdKey + "\\CLSID"), "{CDD9DE31-FF13-4496-BAD9-9F4189D51272}");
    // A 32-bit server goes to the 32-bit view only.
    EXPECT_FALSE(KeyExists(ClsidKey, KEY_WOW64_64KEY));

    ASSERT_EQ(CLSIDFromProgID(L"TALVO_VB6.VbFunzioni", &clsid), S_OK);
    EXPECT_TRUE(IsEqualCLSID(clsid, Clsid));
    com_ptr<IDispatch> control;
    EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, control.put_void()), S_OK);
    control.reset();

    // What someone else put under the class is theirs: it stays, and so does its key.
    {
        unique_hkey key;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, (ClsidKey + "\\Implemented Categories").c_str(), 0, nullptr, 0,
                                  KEY_WRITE | KEY_WOW64_32KEY, nullptr, key.put(), nullptr),
                  ERROR_SUCCESS);
    }
    EXPECT_EQ(unregisterServer(), S_OK);
    EXPECT_TRUE(KeyExists(ClsidKey + "\\Implemented Categories"));
    EXPECT_FALSE(KeyExists(ClsidKey + "\\InprocServer32"));
    EXPECT_FALSE(Value(ClsidKey));
    EXPECT_FALSE(KeyExists(ProgIdKey));
    EXPECT_EQ(RegDeleteKeyExA(HKEY_CLASSES_ROOT, (ClsidKey + "\\Implemented Categories").c_str(), KEY_WOW64_32KEY, 0),
              ERROR_SUCCESS);
    EXPECT_EQ(unregisterServer(), S_OK);
    EXPECT_FALSE(KeyExists(ClsidKey));

    EXPECT_EQ(registerServer(), S_OK);
    EXPECT_TRUE(KeyExists(ClsidKey + "\\InprocServer32"));
    OleUninitialize();
}
