// Why the control cannot be created: broken registrations made for real under scratch ProgIDs,
// created through COM for the real failure, then diagnosed.
#include <gtest/gtest.h>

#include <objbase.h>

#include <algorithm>
#include <cwctype>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ClientScratchFolder.h"
#include "ControlDiagnosis.h"
#include "Text.h"
#include "Unique.h"

namespace {

constexpr REGSAM kView32 = KEY_WOW64_32KEY;
constexpr REGSAM kView64 = KEY_WOW64_64KEY;

std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

testing::AssertionResult Has(const std::wstring& text, std::wstring_view part) {
    if (Lower(text).find(Lower(std::wstring(part))) != std::wstring::npos) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "no \"" << ToUtf8(part) << "\" in: " << ToUtf8(text);
}

bool TwoViews() {
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

std::wstring BinFolder() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder = path;
    return folder.substr(0, folder.find_last_of(L'\\') + 1);
}

std::wstring Fixture(const wchar_t* name) { return BinFolder() + L"diag-fixtures\\" + name; }

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

// Keys written under HKEY_CLASSES_ROOT in either view, each removed with its subtree on the way out.
class ScratchClasses {
public:
    ScratchClasses() = default;
    ScratchClasses(const ScratchClasses&) = delete;
    ScratchClasses& operator=(const ScratchClasses&) = delete;
    ~ScratchClasses() {
        for (auto it = tops_.rbegin(); it != tops_.rend(); ++it) Remove(it->first, it->second);
    }

    void Set(const std::wstring& path, REGSAM view, const wchar_t* name, const std::wstring& text,
             DWORD type = REG_SZ) {
        const bool grouped = path.starts_with(L"CLSID\\") || path.starts_with(L"AppID\\");
        const std::wstring top = path.substr(0, path.find(L'\\', grouped ? path.find(L'\\') + 1 : 0));
        if (std::find(tops_.begin(), tops_.end(), std::pair{top, view}) == tops_.end()) {
            Remove(top, view);  // what an earlier run may have left
            tops_.emplace_back(top, view);
        }
        unique_hkey key;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr,
                                  key.put(), nullptr),
                  ERROR_SUCCESS);
        const auto bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
        ASSERT_EQ(RegSetValueExW(key.get(), name, 0, type, reinterpret_cast<const BYTE*>(text.c_str()), bytes),
                  ERROR_SUCCESS);
    }

    // progId -> clsid -> InprocServer32 = file, all in one view.
    void Server(const std::wstring& progId, const std::wstring& clsid, const std::wstring& file, REGSAM view = kView32,
                DWORD type = REG_SZ) {
        Set(progId + L"\\CLSID", view, nullptr, clsid);
        Set(L"CLSID\\" + clsid + L"\\InprocServer32", view, nullptr, file, type);
        Set(L"CLSID\\" + clsid + L"\\InprocServer32", view, L"ThreadingModel", L"Apartment");
    }

private:
    static void Remove(const std::wstring& top, REGSAM view) {
        if (unique_hkey key;
            RegOpenKeyExW(HKEY_CLASSES_ROOT, top.c_str(), 0, KEY_ALL_ACCESS | view, key.put()) == ERROR_SUCCESS)
            RegDeleteTreeW(key.get(), nullptr);
        RegDeleteKeyExW(HKEY_CLASSES_ROOT, top.c_str(), view, 0);
    }
    std::vector<std::pair<std::wstring, REGSAM>> tops_;
};

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

    // A class of this process's own: the cases run side by side, each in a process.
    static std::wstring ScratchClsid(BYTE last) {
        const GUID guid = {GetCurrentProcessId(), 0x5EED, 0x4D1A, {0x90, 0, 0, 0, 0, 0, 0, last}};
        wchar_t text[40] = {};
        StringFromGUID2(guid, text, 40);
        return text;
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
