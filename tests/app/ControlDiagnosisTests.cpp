// Why the control cannot be created: broken registrations made for real under scratch ProgIDs,
// created through COM for the real failure, then diagnosed.
#include <gtest/gtest.h>

#include <objbase.h>

#include <cwctype>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "ClientScratchFolder.h"
#include "ControlDiagnosis.h"
#include "ScratchClasses.h"
#include "Text.h"
#include "Unique.h"

namespace {

std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

testing::AssertionResult Has(const std::wstring& text, std::wstring_view part) {
    if (Lower(text).find(Lower(std::wstring(part))) != std::wstring::npos) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "no \"" << ToUtf8(part) << "\" in: " << ToUtf8(text);
}

void WriteFile(const std::wstring& path, const std::vector<char>& bytes) {
    const unique_hfile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(file);
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
}

std::vector<char> ReadFile(const std::wstring& path) {
    const unique_hfile file(
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    std::vector<char> bytes(file ? GetFileSize(file.get(), nullptr) : 0);
    DWORD read = 0;
    if (file) ::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
    return bytes;
}

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

    ScratchClasses classes_;
    const std::wstring progId_ = L"TalvoDiag.Case" + std::to_wstring(GetCurrentProcessId());
    const std::wstring wideProgId_ = progId_ + L"W";
    const std::wstring clsid_ = ScratchClsid(0);
    const std::wstring wideClsid_ = ScratchClsid(0xFF);
    const std::wstring absentClsid_ = ScratchClsid(0xEE);
};

TEST_F(ControlDiagnosisTest, RegistryLinksAreNamedWithTheCommandThatRepairsThem) {
    const std::wstring missing = CreateAndDiagnose(L"TalvoDiag.Nowhere");
    EXPECT_TRUE(Has(missing, L"not registered"));
    EXPECT_TRUE(Has(missing, L"regsvr32 \"<folder>\\TalvoDiag.ocx\""));
    EXPECT_EQ(Has(missing, L"%windir%\\SysWOW64\\regsvr32"), TwoViews());

    classes_.Set(progId_ + L"\\CLSID", kView32, nullptr, clsid_);
    EXPECT_TRUE(Has(CreateAndDiagnose(progId_), clsid_));  // names a class nobody registered

    if (TwoViews()) {
        classes_.Set(wideProgId_ + L"\\CLSID", kView32, nullptr, wideClsid_);
        classes_.Set(L"CLSID\\" + wideClsid_ + L"\\InprocServer32", kView64, nullptr, L"C:\\Vendor\\TalvoDiag.ocx");
        const std::wstring wide = CreateAndDiagnose(wideProgId_);
        EXPECT_TRUE(Has(wide, L"64-bit programs only"));
        EXPECT_TRUE(Has(wide, L"C:\\Vendor\\TalvoDiag.ocx"));
        EXPECT_TRUE(Has(wide, L"SysWOW64\\regsvr32"));
    }

    classes_.Set(L"CLSID\\" + clsid_ + L"\\LocalServer32", kView32, nullptr, L"C:\\Vendor\\Talvo.exe");
    const std::wstring local = CreateAndDiagnose(progId_);
    EXPECT_TRUE(Has(local, L"LocalServer32"));
    EXPECT_TRUE(Has(local, L"C:\\Vendor\\Talvo.exe"));

    classes_.Set(L"CLSID\\" + clsid_ + L"\\TreatAs", kView32, nullptr, absentClsid_);
    const std::wstring treatAs = CreateAndDiagnose(progId_);
    EXPECT_TRUE(Has(treatAs, L"TreatAs"));
    EXPECT_TRUE(Has(treatAs, absentClsid_));

    classes_.Set(progId_ + L"\\CLSID", kView32, nullptr, L"CLSID\\..");
    EXPECT_TRUE(Has(CreateAndDiagnose(progId_), L"not a class identifier"));
}

TEST_F(ControlDiagnosisTest, FilesThatCannotServeAreNamedWithWhatIsWrong) {
    classes_.Server(progId_, clsid_, L"%SystemRoot%\\TalvoDiagAbsent.ocx", kView32, REG_EXPAND_SZ);
    EXPECT_TRUE(Has(CreateAndDiagnose(progId_), L"C:\\windows\\TalvoDiagAbsent.ocx\" does not exist"));

    classes_.Server(progId_, clsid_, L"TalvoDiagAbsent.ocx");
    EXPECT_TRUE(Has(CreateAndDiagnose(progId_), L"\"TalvoDiagAbsent.ocx\" is registered without a folder"));

    // Top needs Middle beside it, which needs a DLL that is nowhere (and Top again).
    classes_.Server(progId_, clsid_, Fixture(L"TalvoDiagTop.dll"));
    const std::wstring chain = CreateAndDiagnose(progId_);
    EXPECT_TRUE(Has(chain, Fixture(L"TalvoDiagMiddle.dll") + L"\", which it uses, needs TalvoNeverInstalled.dll"));

    classes_.Server(progId_, clsid_, Fixture(L"TalvoDiagVb6.dll"));
    EXPECT_TRUE(Has(CreateAndDiagnose(progId_), L"it needs MSVBVM60.DLL (the Visual Basic 6 runtime)"));

    classes_.Server(progId_, clsid_, Fixture(L"TalvoDiagWide.dll"));
    EXPECT_TRUE(Has(CreateAndDiagnose(progId_), L"is a 64-bit DLL"));

    ClientScratchFolder folder;
    const std::wstring text = folder.path() + L"Readme.ocx";
    WriteFile(text, {'n', 'o', 't', ' ', 'a', ' ', 'D', 'L', 'L'});
    classes_.Server(progId_, clsid_, text);
    EXPECT_TRUE(Has(CreateAndDiagnose(progId_), text + L"\" is not a Windows DLL"));

    classes_.Server(progId_, clsid_, Fixture(L"TalvoDiagNoFactory.dll"));
    EXPECT_TRUE(Has(CreateAndDiagnose(progId_), L"exports no DllGetClassObject"));

    classes_.Server(progId_, clsid_, Fixture(L"TalvoDiagFactory.dll"));
    const std::wstring refused = CreateAndDiagnose(progId_);
    EXPECT_TRUE(Has(refused, L"does not provide the class " + clsid_));
    EXPECT_TRUE(Has(refused, L"regsvr32 \"" + Fixture(L"TalvoDiagFactory.dll")));

    // The factory fixture wants a licence for a class whose identifier ends in 01.
    classes_.Server(progId_, ScratchClsid(0x01), Fixture(L"TalvoDiagFactory.dll"));
    EXPECT_TRUE(Has(CreateAndDiagnose(progId_), L"needs a licence"));

    // Created, but in another apartment: only hosting it fails, as in-place activation reports.
    classes_.Server(progId_, clsid_, BinFolder() + L"VbFunzioniStandIn.dll");
    classes_.Set(L"CLSID\\" + clsid_ + L"\\InprocServer32", kView32, L"ThreadingModel", L"Free");
    EXPECT_TRUE(Has(DiagnoseControlCreation(progId_, E_NOINTERFACE), L"ThreadingModel \"Free\""));
}

TEST_F(ControlDiagnosisTest, DamagedFilesGetAnAnswerAboutThemNeverACrash) {
    ClientScratchFolder folder;
    const std::wstring path = folder.path() + L"Damaged.ocx";
    classes_.Server(progId_, clsid_, path);
    const std::vector<char> good = ReadFile(Fixture(L"TalvoDiagTop.dll"));
    ASSERT_GT(good.size(), 4096u);
    std::mt19937 random(20240611);
    for (int round = 0; round < 400; ++round) {
        std::vector<char> bytes = good;
        if (round < 100) {
            bytes.resize(static_cast<size_t>(round) * round);  // cut anywhere in the headers and tables
        } else {
            const size_t span = round < 300 ? 1024 : bytes.size();
            for (int flip = 0; flip < 1 + round % 8; ++flip) bytes[random() % span] = static_cast<char>(random());
        }
        WriteFile(path, bytes);
        const std::wstring text = DiagnoseControlCreation(progId_, E_ACCESSDENIED);
        if (round < 100) {  // a file cut short is named as such, not blamed for what it lost
            EXPECT_TRUE(Has(text, path)) << "round " << round;
            EXPECT_FALSE(Has(text, L"DllGetClassObject")) << "round " << round;
        } else {
            EXPECT_TRUE(text.empty() || Has(text, path)) << "round " << round;
        }
    }
}

TEST_F(ControlDiagnosisTest, AWorkingRegistrationIsDescribedAndNeedsNoDiagnosis) {
    const RegisteredControl control = DescribeRegisteredControl(L"TALVO_VB6.VbFunzioni");
    EXPECT_EQ(control.clsid, L"{CDD9DE31-FF13-4496-BAD9-9F4189D51272}");
    EXPECT_TRUE(Has(control.file, L"\\VbFunzioniStandIn.dll"));
    EXPECT_EQ(control.version, L"1.00");
    EXPECT_EQ(control.company, L"Brevanti");
    // Its imports are all found: nothing to blame for a failure further on.
    EXPECT_EQ(DiagnoseControlCreation(L"TALVO_VB6.VbFunzioni", E_NOINTERFACE), L"");

    const RegisteredControl none = DescribeRegisteredControl(L"TalvoDiag.Nowhere");
    EXPECT_TRUE(none.clsid.empty() && none.file.empty() && none.version.empty());
}

}  // namespace
