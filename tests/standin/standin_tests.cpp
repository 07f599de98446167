// The stand-in as an automation client sees it: members, their live answers and every
// scripted answer form.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>

#include "StandInClient.h"
#include "support/StandInScript.h"

using namespace standin_test;

namespace {

const std::set<std::wstring> StatusTexts{L"Not installed", L"Executable missing", L"Running", L"Installed"};

bool IsMacText(const std::wstring& text) {
    static const std::wregex pattern(L"[0-9A-F]{2}(-[0-9A-F]{2}){5}");
    return std::regex_match(text, pattern);
}

// Empty (no IPv4 address) or dotted IPv4 text exactly as the system would write it.
bool IsIpv4TextOrEmpty(const std::wstring& text) {
    if (text.empty()) return true;
    IN_ADDR address{};
    if (InetPtonW(AF_INET, text.c_str(), &address) != 1) return false;
    wchar_t back[INET_ADDRSTRLEN] = {};
    return InetNtopW(AF_INET, &address, back, INET_ADDRSTRLEN) != nullptr && text == back;
}

DISPID IdOf(IDispatch* control, const wchar_t* name) {
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    DISPID id = 0;
    control->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    return id;
}

}  // namespace

TEST(StandInObject, CreatedFromProgIdWithTheInterfacesOfAControl) {
    OleApartment ole;
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromProgID(L"TALVO_VB6.VbFunzioni", &clsid), S_OK);
    EXPECT_TRUE(IsEqualCLSID(clsid, Clsid));
    const com_ptr<IDispatch> control = CreateStandIn();
    ASSERT_TRUE(control);

    EXPECT_TRUE(control.try_query<IOleObject>());
    EXPECT_TRUE(control.try_query<IOleInPlaceObject>());
    EXPECT_TRUE(control.try_query<IOleWindow>());
    EXPECT_TRUE(control.try_query<IOleControl>());
    EXPECT_TRUE(control.try_query<IViewObject>());
    EXPECT_TRUE(control.try_query<IViewObject2>());
    EXPECT_TRUE(control.try_query<IPersistStreamInit>());
    EXPECT_TRUE(control.try_query<IPersistPropertyBag>());
    EXPECT_FALSE(control.try_query<IConnectionPointContainer>());
    // Every interface leads back to the one identity.
    const com_ptr<IUnknown> identity = control.try_query<IUnknown>();
    EXPECT_EQ(control.try_query<IViewObject2>().try_query<IUnknown>().get(), identity.get());
    EXPECT_EQ(control.try_query<IPersistPropertyBag>().try_query<IUnknown>().get(), identity.get());

    UINT typeInfos = 99;
    EXPECT_EQ(control->GetTypeInfoCount(&typeInfos), S_OK);
    EXPECT_EQ(typeInfos, 0u);

    EXPECT_EQ(IdOf(control.get(), L"LocalIP"), LocalIp);
    EXPECT_EQ(IdOf(control.get(), L"localip"), LocalIp);
    EXPECT_EQ(IdOf(control.get(), L"MACADDRESS"), MacAddress);
    EXPECT_EQ(IdOf(control.get(), L"PelloraStatus"), PelloraStatus);
    LPOLESTR unknown[] = {const_cast<LPOLESTR>(L"LocalIPs")};
    DISPID id = 0;
    EXPECT_EQ(control->GetIDsOfNames(IID_NULL, unknown, 1, LOCALE_USER_DEFAULT, &id), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(id, DISPID_UNKNOWN);
    // A member name with an argument name: the members take none.
    LPOLESTR withArgument[] = {const_cast<LPOLESTR>(L"MacAddress"), const_cast<LPOLESTR>(L"index")};
    DISPID ids[2] = {0, 0};
    EXPECT_EQ(control->GetIDsOfNames(IID_NULL, withArgument, 2, LOCALE_USER_DEFAULT, ids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids[0], MacAddress);
    EXPECT_EQ(ids[1], DISPID_UNKNOWN);

    const com_ptr<IOleObject> ole_object = control.try_query<IOleObject>();
    DWORD status = 0;
    EXPECT_EQ(ole_object->GetMiscStatus(DVASPECT_CONTENT, &status), S_OK);
    EXPECT_EQ(status, static_cast<DWORD>(OLEMISC_RECOMPOSEONRESIZE | OLEMISC_SETCLIENTSITEFIRST |
                                         OLEMISC_ACTIVATEWHENVISIBLE | OLEMISC_INSIDEOUT | OLEMISC_CANTLINKINSIDE));
    // Containers read the same bits from the registry before the object exists.
    DWORD registered = 0;
    EXPECT_EQ(OleRegGetMiscStatus(Clsid, DVASPECT_CONTENT, &registered), S_OK);
    EXPECT_EQ(registered, status);
    CLSID reported{};
    EXPECT_EQ(control.try_query<IPersistPropertyBag>()->GetClassID(&reported), S_OK);
    EXPECT_TRUE(IsEqualCLSID(reported, Clsid));
}

TEST(StandInMembers, LiveAnswersHaveTheirFormsAndCallsAreChecked) {
    OleApartment ole;
    WSADATA wsa;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &wsa), 0);
    const com_ptr<IDispatch> control = CreateStandIn();
    ASSERT_TRUE(control);

    for (const WORD flags : {WORD(DISPATCH_METHOD), WORD(DISPATCH_PROPERTYGET), MethodOrGet}) {
        const Reply ip(control.get(), LocalIp, flags);
        ASSERT_EQ(ip.hr, S_OK);
        ASSERT_EQ(ip.value->vt, VT_BSTR);
        EXPECT_TRUE(IsIpv4TextOrEmpty(ip.Text())) << ip.Text();
        const Reply mac(control.get(), MacAddress, flags);
        ASSERT_EQ(mac.hr, S_OK);
        EXPECT_TRUE(IsMacText(mac.Text())) << mac.Text();
        const Reply status(control.get(), PelloraStatus, flags);
        ASSERT_EQ(status.hr, S_OK);
        EXPECT_EQ(StatusTexts.count(status.Text()), 1u) << status.Text();
    }
    EXPECT_EQ(Reply(control.get(), MacAddress, DISPATCH_PROPERTYPUT).hr, DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(Reply(control.get(), MacAddress, MethodOrGet, 1).hr, DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(Reply(control.get(), 0x60030003).hr, DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(Reply(control.get(), DISPID_VALUE).hr, DISP_E_MEMBERNOTFOUND);

    unique_variant value;
    EXPECT_EQ(control->Invoke(LocalIp, IID_IDispatch, 0, DISPATCH_METHOD, nullptr, value.get(), nullptr, nullptr),
              DISP_E_UNKNOWNINTERFACE);
    // No DISPPARAMS and no result wanted: still a call that answers.
    EXPECT_EQ(control->Invoke(PelloraStatus, IID_NULL, 0, DISPATCH_METHOD, nullptr, nullptr, nullptr, nullptr), S_OK);
    WSACleanup();
}

TEST(StandInScript, SequencesRepeatTheLastAnswerPerObjectAndEscapesResolve) {
    OleApartment ole;
    const com_ptr<IDispatch> first = CreateStandIn();
    const com_ptr<IDispatch> second = CreateStandIn();
    ASSERT_TRUE(first && second);
    {
        const ScopedEnv script = ScriptAnswers(MacAddress, L"str:one|str:two");
        EXPECT_EQ(Reply(first.get(), MacAddress).Text(), L"one");
        // A refused call answers nothing, so it takes no place in the sequence.
        EXPECT_EQ(Reply(first.get(), MacAddress, MethodOrGet, 2).hr, DISP_E_BADPARAMCOUNT);
        EXPECT_EQ(Reply(first.get(), MacAddress).Text(), L"two");
        EXPECT_EQ(Reply(first.get(), MacAddress).Text(), L"two");
        // Each object counts its own calls, each member apart.
        EXPECT_EQ(Reply(second.get(), MacAddress).Text(), L"one");
        const ScopedEnv ip = ScriptAnswers(LocalIp, L"str:10.0.0.1|str:10.0.0.2");
        EXPECT_EQ(Reply(first.get(), LocalIp).Text(), L"10.0.0.1");
    }
    // Unset again: the live answer.
    EXPECT_TRUE(IsMacText(Reply(first.get(), MacAddress).Text()));
    {
        const ScopedEnv script = ScriptAnswers(PelloraStatus, L"");
        EXPECT_EQ(StatusTexts.count(Reply(first.get(), PelloraStatus).Text()), 1u);
    }
    {
        const com_ptr<IDispatch> fresh = CreateStandIn();
        const ScopedEnv script = ScriptAnswers(MacAddress, L"live|str:x");
        EXPECT_TRUE(IsMacText(Reply(fresh.get(), MacAddress).Text()));
        EXPECT_EQ(Reply(fresh.get(), MacAddress).Text(), L"x");
    }
    {
        const com_ptr<IDispatch> fresh = CreateStandIn();
        const ScopedEnv script = ScriptAnswers(PelloraStatus, LR"(str:a\|b\\c\0d\ne\q:|str:|str:C:\Pellora\bin\)");
        const Reply escaped(fresh.get(), PelloraStatus);
        ASSERT_EQ(escaped.value->vt, VT_BSTR);
        EXPECT_EQ(SysStringLen(escaped.value->bstrVal), 12u);
        EXPECT_EQ(escaped.Text(), std::wstring(L"a|b\\c\0d\ne\\q:", 12));
        const Reply empty(fresh.get(), PelloraStatus);
        ASSERT_EQ(empty.value->vt, VT_BSTR);
        EXPECT_EQ(empty.Text(), L"");
        EXPECT_EQ(Reply(fresh.get(), PelloraStatus).Text(), LR"(C:\Pellora\bin\)");
    }
}

TEST(StandInScript, ValueFormsGiveTheirVariantTypes) {
    OleApartment ole;
    const com_ptr<IDispatch> control = CreateStandIn();
    ASSERT_TRUE(control);
    const ScopedEnv script = ScriptAnswers(
        LocalIp,
        L"null|empty|i4:-42|i4:2147483647|r8:3.25|r8:-1e300|date:45000.5|bool:true|bool:false|dispatch|array|"
        L"rep:3:ab|rep:1048576:x|rep:0:x|rep:5:");

    EXPECT_EQ(Reply(control.get(), LocalIp).value->vt, VT_NULL);
    EXPECT_EQ(Reply(control.get(), LocalIp).value->vt, VT_EMPTY);
    {
        const Reply r(control.get(), LocalIp);
        ASSERT_EQ(r.value->vt, VT_I4);
        EXPECT_EQ(r.value->lVal, -42);
    }
    EXPECT_EQ(Reply(control.get(), LocalIp).value->lVal, 2147483647);
    {
        const Reply r(control.get(), LocalIp);
        ASSERT_EQ(r.value->vt, VT_R8);
        EXPECT_EQ(r.value->dblVal, 3.25);
    }
    EXPECT_EQ(Reply(control.get(), LocalIp).value->dblVal, -1e300);
    {
        const Reply r(control.get(), LocalIp);
        ASSERT_EQ(r.value->vt, VT_DATE);
        EXPECT_EQ(r.value->date, 45000.5);
    }
    {
        const Reply yes(control.get(), LocalIp);
        ASSERT_EQ(yes.value->vt, VT_BOOL);
        EXPECT_EQ(yes.value->boolVal, VARIANT_TRUE);
        EXPECT_EQ(Reply(control.get(), LocalIp).value->boolVal, VARIANT_FALSE);
    }
    {
        const Reply r(control.get(), LocalIp);
        ASSERT_EQ(r.value->vt, VT_DISPATCH);
        IDispatch* object = r.value->pdispVal;
        ASSERT_NE(object, nullptr);
        EXPECT_EQ(Reply(object, DISPID_VALUE).hr, DISP_E_MEMBERNOTFOUND);
        EXPECT_EQ(Reply(object, 1).hr, DISP_E_MEMBERNOTFOUND);
        LPOLESTR names[] = {const_cast<LPOLESTR>(L"Anything")};
        DISPID id = 0;
        EXPECT_EQ(object->GetIDsOfNames(IID_NULL, names, 1, 0, &id), DISP_E_UNKNOWNNAME);
        UINT count = 9;
        EXPECT_EQ(object->GetTypeInfoCount(&count), S_OK);
        EXPECT_EQ(count, 0u);
    }
    {
        const Reply r(control.get(), LocalIp);
        ASSERT_EQ(r.value->vt, VT_ARRAY | VT_BSTR);
        SAFEARRAY* array = r.value->parray;
        ASSERT_EQ(SafeArrayGetDim(array), 1u);
        LONG lower = -1, upper = -1;
        SafeArrayGetLBound(array, 1, &lower);
        SafeArrayGetUBound(array, 1, &upper);
        EXPECT_EQ(lower, 0);
        EXPECT_EQ(upper, 1);
        for (LONG i = 0; i < 2; ++i) {
            unique_bstr item;
            ASSERT_EQ(SafeArrayGetElement(array, &i, item.put()), S_OK);
            EXPECT_STREQ(item.get(), i == 0 ? L"a" : L"b");
        }
    }
    EXPECT_EQ(Reply(control.get(), LocalIp).Text(), L"ababab");
    {
        const Reply big(control.get(), LocalIp);
        ASSERT_EQ(big.value->vt, VT_BSTR);
        EXPECT_EQ(SysStringLen(big.value->bstrVal), 1048576u);
        EXPECT_EQ(big.Text(), std::wstring(1048576, L'x'));
    }
    EXPECT_EQ(Reply(control.get(), LocalIp).Text(), L"");
    EXPECT_EQ(Reply(control.get(), LocalIp).Text(), L"");
    // With no result wanted the answer is still consumed and the call succeeds.
    const ScopedEnv objects = ScriptAnswers(MacAddress, L"dispatch|str:next");
    EXPECT_EQ(control->Invoke(MacAddress, IID_NULL, 0, DISPATCH_METHOD, nullptr, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(Reply(control.get(), MacAddress).Text(), L"next");
}

TEST(StandInScript, ErrorFormsFillOrDeferTheExceptionInfo) {
    OleApartment ole;
    const com_ptr<IDispatch> control = CreateStandIn();
    ASSERT_TRUE(control);
    const ScopedEnv script = ScriptAnswers(
        MacAddress,
        LR"(error:5:MySource:Bad: really\nbad|error:0x80004005:Src:|error:70000:S:d|error:-2147024809:S:d|)"
        LR"(error:65535:S:last small|deferred:9:Later:Filled in\|late|hresult:0x80070005)");

    {
        const Reply r(control.get(), MacAddress);
        EXPECT_EQ(r.hr, DISP_E_EXCEPTION);
        EXPECT_EQ(r.value->vt, VT_EMPTY);
        EXPECT_EQ(r.error.info.wCode, 0);
        EXPECT_EQ(r.error.info.scode, MAKE_HRESULT(1, FACILITY_CONTROL, 5));
        EXPECT_STREQ(r.error.info.bstrSource, L"MySource");
        EXPECT_STREQ(r.error.info.bstrDescription, L"Bad: really\nbad");
        EXPECT_EQ(r.error.info.pfnDeferredFillIn, nullptr);
    }
    {
        const Reply r(control.get(), MacAddress);
        EXPECT_EQ(r.hr, DISP_E_EXCEPTION);
        EXPECT_EQ(r.error.info.scode, E_FAIL);
        EXPECT_STREQ(r.error.info.bstrSource, L"Src");
        ASSERT_NE(r.error.info.bstrDescription, nullptr);
        EXPECT_EQ(SysStringLen(r.error.info.bstrDescription), 0u);
    }
    EXPECT_EQ(Reply(control.get(), MacAddress).error.info.scode, 70000);
    EXPECT_EQ(Reply(control.get(), MacAddress).error.info.scode, E_INVALIDARG);
    EXPECT_EQ(Reply(control.get(), MacAddress).error.info.scode, MAKE_HRESULT(1, FACILITY_CONTROL, 65535));
    {
        Reply r(control.get(), MacAddress);
        EXPECT_EQ(r.hr, DISP_E_EXCEPTION);
        EXPECT_EQ(r.error.info.scode, 0);
        EXPECT_EQ(r.error.info.bstrSource, nullptr);
        EXPECT_EQ(r.error.info.bstrDescription, nullptr);
        const auto fillIn = r.error.info.pfnDeferredFillIn;
        ASSERT_NE(fillIn, nullptr);
        EXPECT_EQ(fillIn(&r.error.info), S_OK);
        EXPECT_EQ(r.error.info.pfnDeferredFillIn, nullptr);
        EXPECT_EQ(r.error.info.wCode, 0);
        EXPECT_EQ(r.error.info.scode, MAKE_HRESULT(1, FACILITY_CONTROL, 9));
        EXPECT_STREQ(r.error.info.bstrSource, L"Later");
        EXPECT_STREQ(r.error.info.bstrDescription, L"Filled in|late");
        EXPECT_EQ(fillIn(&r.error.info), E_UNEXPECTED);  // one fill-in per error
        EXPECT_STREQ(r.error.info.bstrSource, L"Later");
    }
    {
        const Reply r(control.get(), MacAddress);
        EXPECT_EQ(r.hr, E_ACCESSDENIED);
        EXPECT_EQ(r.error.info.scode, 0);
        EXPECT_EQ(r.error.info.bstrDescription, nullptr);
    }
    // With no EXCEPINFO to fill the call still fails as an exception.
    const ScopedEnv bare = ScriptAnswers(LocalIp, L"error:5:S:D|deferred:5:S:D");
    unique_variant value;
    DISPPARAMS none{};
    EXPECT_EQ(control->Invoke(LocalIp, IID_NULL, 0, DISPATCH_METHOD, &none, value.get(), nullptr, nullptr),
              DISP_E_EXCEPTION);
    EXPECT_EQ(control->Invoke(LocalIp, IID_NULL, 0, DISPATCH_METHOD, &none, value.get(), nullptr, nullptr),
              DISP_E_EXCEPTION);
}

TEST(StandInScript, UnparsableAnswersAreRefusedAndLogged) {
    OleApartment ole;
    const ScopedCallLog log;
    for (const wchar_t* bad : {L"bogus",       L"str",           L"STR",        L"i4:",
                               L"i4:12x",      L"i4:2147483648", L"i4: 1",      L"r8:abc",
                               L"r8:1,5",      L"r8:",           L"date:inf",   L"bool:yes",
                               L"rep:x:a",     L"rep:-1:a",      L"rep:3",      L"error:5:no description colon",
                               L"error:x:S:D", L"error:",        L"deferred:5", L"hresult:0x0",
                               L"hresult:1",   L"hresult:zz",    L"hresult:",   L"null:1",
                               L"dispatch:x",  L"str:ok|"}) {
        const com_ptr<IDispatch> control = CreateStandIn();
        const ScopedEnv script = ScriptAnswers(PelloraStatus, bad);
        if (std::wstring(bad) == L"str:ok|") {
            EXPECT_EQ(Reply(control.get(), PelloraStatus).Text(), L"ok");
        }
        const Reply r(control.get(), PelloraStatus);
        EXPECT_EQ(r.hr, E_INVALIDARG) << "answer " << std::string(bad, bad + wcslen(bad));
        EXPECT_EQ(r.value->vt, VT_EMPTY);
    }
    // Upper-case keywords are the same forms.
    {
        const com_ptr<IDispatch> control = CreateStandIn();
        const ScopedEnv script = ScriptAnswers(PelloraStatus, L"STR:Upper");
        EXPECT_EQ(Reply(control.get(), PelloraStatus).Text(), L"Upper");
    }
    const std::vector<std::string> lines = log.Lines();
    const std::string expected = "script dispid=0x60030005 unparsable answer: bogus";
    EXPECT_NE(std::find(lines.begin(), lines.end(), expected), lines.end());
}

TEST(StandInScript, HelpersSetAndRestoreTheEnvironment) {
    SetEnvironmentVariableW(L"TALVO_STANDIN_60030001", L"str:before");
    {
        const ScopedEnv script = ScriptAnswers(LocalIp, L"str:a|str:b=c|\"q\"");
        EXPECT_EQ(ScopedEnv::Get(L"TALVO_STANDIN_60030001"), L"str:a|str:b=c|\"q\"");
        const ScopedEnv unsetBefore(L"TALVO_STANDIN_TEST_NEW", L"x");
    }
    EXPECT_EQ(ScopedEnv::Get(L"TALVO_STANDIN_60030001"), L"str:before");
    EXPECT_EQ(ScopedEnv::Get(L"TALVO_STANDIN_TEST_NEW"), std::nullopt);
    SetEnvironmentVariableW(L"TALVO_STANDIN_60030001", nullptr);

    std::wstring path;
    {
        const ScopedCallLog log;
        path = log.Path();
        EXPECT_EQ(ScopedEnv::Get(L"TALVO_STANDIN_LOG"), path);
        EXPECT_TRUE(log.Lines().empty());
    }
    EXPECT_EQ(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(ScopedEnv::Get(L"TALVO_STANDIN_LOG"), std::nullopt);
}
