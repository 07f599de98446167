// Why the control cannot be created: broken registrations made for real under scratch ProgIDs,
// created through COM for the real failure, then diagnosed.
#include <gtest/gtest.h>

#include <objbase.h>

#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "ClientScratchFolder.h"
#include "ControlDiagnosis.h"
#include "ScratchClasses.h"
#include "Text.h"
#include "Unique.h"

namespace {

class ControlDiagnosisTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))); }
    void TearDown() override { CoUninitialize(); }

    // Creates progId as the program does and diagnoses the real failure.
    static std::wstring CreateAndDiagnose(const std::wstring& progId) {
        CLSID clsid{};
        HRESULT hr = CLSIDFromProgID(progId.c_str(), &clsid);
        if (SUCCEEDED(hr)) {
            com_ptr<IUnknown> object;
            hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, object.put_void());
        }
        EXPECT_TRUE(FAILED(hr)) << ToUtf8(progId);
        return DiagnoseControlCreation(progId, hr);
    }
    // The scratch ProgID served by file, created and diagnosed.
    std::wstring Served(const std::wstring& file, DWORD type = REG_SZ) {
        classes_.Server(progId_, clsid_, file, type);
        return CreateAndDiagnose(progId_);
    }

    ScratchClasses classes_;
    const std::wstring progId_ = L"TalvoDiag.Case" + std::to_wstring(GetCurrentProcessId());
    std::wstring clsid_ = ScratchClsid(0);
};

TEST_F(ControlDiagnosisTest, RegistryLinksAreNamedWithTheCommandThatRepairsThem) {
    const std::wstring missing = CreateAndDiagnose(L"TalvoDiag.Nowhere");
    EXPECT_TRUE(Says(missing, {L"\"TalvoDiag.Nowhere\" is not registered", L"regsvr32 \"<folder>\\TalvoDiag.ocx\""}));
    EXPECT_EQ(missing.find(L"%windir%\\SysWOW64\\regsvr32") != std::wstring::npos, TwoViews());

    classes_.Set(progId_ + L"\\CLSID", kView32, nullptr, clsid_);
    EXPECT_TRUE(Says(CreateAndDiagnose(progId_), {clsid_}));  // names a class nobody registered

    if (TwoViews()) {
        const std::wstring wideProgId = progId_ + L"W", wideClsid = ScratchClsid(0xFF);
        classes_.Set(wideProgId + L"\\CLSID", kView32, nullptr, wideClsid);
        classes_.InprocServer(wideClsid, L"C:\\Vendor\\TalvoDiag.ocx", kView64);
        EXPECT_TRUE(Says(CreateAndDiagnose(wideProgId),
                         {L"64-bit programs only", L"\"C:\\Vendor\\TalvoDiag.ocx\"", L"SysWOW64\\regsvr32"}));
    }

    classes_.Set(L"CLSID\\" + clsid_ + L"\\LocalServer32", kView32, nullptr, L"C:\\Vendor\\Talvo.exe");
    EXPECT_TRUE(Says(CreateAndDiagnose(progId_), {L"LocalServer32", L"C:\\Vendor\\Talvo.exe"}));

    const std::wstring absentClsid = ScratchClsid(0xEE);
    classes_.Set(L"CLSID\\" + clsid_ + L"\\TreatAs", kView32, nullptr, absentClsid);
    EXPECT_TRUE(Says(CreateAndDiagnose(progId_), {L"TreatAs", absentClsid}));

    classes_.Set(progId_ + L"\\CLSID", kView32, nullptr, L"CLSID\\..");
    EXPECT_TRUE(Says(CreateAndDiagnose(progId_), {L"not a class identifier"}));
}

TEST_F(ControlDiagnosisTest, FilesThatCannotServeAreNamedWithWhatIsWrong) {
    wchar_t windows[MAX_PATH] = {};
    ExpandEnvironmentStringsW(L"%SystemRoot%", windows, MAX_PATH);
    EXPECT_TRUE(Says(Served(L"%SystemRoot%\\TalvoDiagAbsent.ocx", REG_EXPAND_SZ),
                     {std::wstring(windows) + L"\\TalvoDiagAbsent.ocx\" does not exist"}));
    const std::wstring absent = BinFolder() + L"TalvoDiagAbsent.ocx";
    EXPECT_TRUE(Says(Served(absent), {L"\"" + absent + L"\" does not exist"}));
    EXPECT_TRUE(Says(Served(L"TalvoDiagAbsent.ocx"), {L"\"TalvoDiagAbsent.ocx\" is registered without a folder"}));
    // Top needs Middle beside it, which needs a DLL that is nowhere (and Top again).
    EXPECT_TRUE(Says(Served(Fixture(L"TalvoDiagTop.dll")),
                     {Fixture(L"TalvoDiagMiddle.dll") + L"\", which it uses, needs TalvoNeverInstalled.dll"}));
    EXPECT_TRUE(Says(Served(Fixture(L"TalvoDiagVb6.dll")), {L"it needs MSVBVM60.DLL (the Visual Basic 6 runtime)"}));
    EXPECT_TRUE(Says(Served(Fixture(L"TalvoDiagWide.dll")), {L"is a 64-bit DLL"}));
    EXPECT_TRUE(Says(Served(Fixture(L"TalvoDiagNoFactory.dll")), {L"exports no DllGetClassObject"}));

    ClientScratchFolder folder;
    const std::wstring text = folder.path() + L"Readme.ocx";
    ASSERT_TRUE(std::ofstream(text.c_str(), std::ios::binary) << "not a DLL");
    EXPECT_TRUE(Says(Served(text), {text + L"\" is not a Windows DLL"}));

    const std::wstring factory = Fixture(L"TalvoDiagFactory.dll");
    EXPECT_TRUE(Says(Served(factory), {L"does not provide the class " + clsid_, L"regsvr32 \"" + factory}));
    clsid_ = ScratchClsid(0x01);  // the factory fixture wants a licence for this one
    EXPECT_TRUE(Says(Served(factory), {L"needs a licence"}));

    // Created, but in another apartment: only hosting it fails, as in-place activation reports.
    classes_.Server(progId_, clsid_, BinFolder() + L"VbFunzioniStandIn.dll");
    classes_.Set(L"CLSID\\" + clsid_ + L"\\InprocServer32", kView32, L"ThreadingModel", L"Free");
    EXPECT_TRUE(Says(DiagnoseControlCreation(progId_, E_NOINTERFACE), {L"ThreadingModel \"Free\""}));
}

TEST_F(ControlDiagnosisTest, DamagedFilesGetAnAnswerAboutThemNeverACrash) {
    ClientScratchFolder folder;
    const std::wstring path = folder.path() + L"Damaged.ocx";
    classes_.Server(progId_, clsid_, path);
    std::ifstream fixture(Fixture(L"TalvoDiagTop.dll").c_str(), std::ios::binary);
    const std::string good{std::istreambuf_iterator<char>(fixture), {}};
    ASSERT_GT(good.size(), 4096u);
    std::mt19937 random(20240611);
    for (int round = 0; round < 400; ++round) {
        SCOPED_TRACE(round);
        std::string bytes = good;
        if (round < 100) {
            bytes.resize(static_cast<size_t>(round) * round);  // cut anywhere in the headers and tables
        } else {
            const size_t span = round < 300 ? 1024 : bytes.size();
            for (int flip = 0; flip < 1 + round % 8; ++flip) bytes[random() % span] = static_cast<char>(random());
        }
        ASSERT_TRUE(std::ofstream(path.c_str(), std::ios::binary) << bytes);
        const std::wstring text = DiagnoseControlCreation(progId_, E_ACCESSDENIED);
        if (round < 100) {  // a file cut short is named as such, not blamed for what it lost
            EXPECT_TRUE(Says(text, {path}));
            EXPECT_FALSE(Says(text, {L"DllGetClassObject"}));
        } else {
            EXPECT_TRUE(text.empty() || Says(text, {path}));
        }
    }
}

TEST_F(ControlDiagnosisTest, AWorkingRegistrationIsDescribedAndNeedsNoDiagnosis) {
    const RegisteredControl control = DescribeRegisteredControl(L"TALVO_VB6.VbFunzioni");
    EXPECT_EQ(control.clsid, L"{CDD9DE31-FF13-4496-BAD9-9F4189D51272}");
    EXPECT_TRUE(Says(control.file, {L"\\VbFunzioniStandIn.dll"}));
    EXPECT_EQ(control.version, L"1.00");
    EXPECT_EQ(control.company, L"Brevanti");
    // Its imports are all found: nothing to blame for a failure further on.
    EXPECT_EQ(DiagnoseControlCreation(L"TALVO_VB6.VbFunzioni", E_NOINTERFACE), L"");

    const RegisteredControl none = DescribeRegisteredControl(L"TalvoDiag.Nowhere");
    EXPECT_TRUE(none.clsid.empty() && none.file.empty() && none.version.empty());
}

}  // namespace
