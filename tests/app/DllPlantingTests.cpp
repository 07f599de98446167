// A technician runs the program from wherever it landed: no DLL left beside it, or beside its
// control, under a system DLL's name may run inside it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "ClientScratchFolder.h"
#include "ControlIds.h"
#include "ProgIdRedirect.h"
#include "RunningApp.h"
#include "ScratchClasses.h"
#include "Text.h"
#include "Unique.h"

namespace {

// What a PE file's import table names, read from the file mapped as an image (never run).
std::vector<std::string> ImportedDlls(const std::wstring& path) {
    std::vector<std::string> names;
    const unique_hmodule image(LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    if (!image) return names;
    const auto* base = reinterpret_cast<const BYTE*>(reinterpret_cast<ULONG_PTR>(image.get()) & ~ULONG_PTR{3});
    const auto* nt =
        reinterpret_cast<const IMAGE_NT_HEADERS32*>(base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (imports.VirtualAddress == 0) return names;
    for (auto* entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         entry->Name != 0; ++entry) {
        std::string name = reinterpret_cast<const char*>(base + entry->Name);
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
        names.push_back(name);
    }
    return names;
}

TEST(DllPlanting, TheShippedFilesImportOnlyKnownDllsAndTheManifestsCommonControls) {
    // Windows maps its KnownDLLs from the system folder whatever lies beside a program; the
    // common controls come from the side-by-side store the manifest names.
    const std::set<std::string> allowed = {"advapi32.dll", "gdi32.dll",    "kernel32.dll", "msvcrt.dll",
                                           "ole32.dll",    "oleaut32.dll", "user32.dll",   "comctl32.dll"};
    for (const wchar_t* file : {L"Test OCX TALVO.exe", L"VbFunzioniStandIn.dll"}) {
        const std::vector<std::string> imported = ImportedDlls(BinFolder() + file);
        EXPECT_FALSE(imported.empty()) << ToUtf8(file) << " could not be read";
        for (const std::string& dll : imported)
            EXPECT_TRUE(allowed.contains(dll))
                << ToUtf8(file) << " imports " << dll << ", which Windows looks for beside it first";
    }
}

// The DLLs the program and the stand-in import or load by name, save the three loaded before
// the program's first instruction (kernel32, msvcrt, advapi32): KnownDLLs on Windows, which
// Wine does not keep, so planting them would only show Wine's loader at work.
constexpr const wchar_t* kPlanted[] = {L"version",  L"iphlpapi", L"user32",  L"gdi32",
                                       L"comctl32", L"ole32",    L"oleaut32"};

// Wine's per-program load order for "Test OCX TALVO.exe" made Windows' own: a DLL found beside
// the program (or the DLL that imports it) wins over the system's copy. The key is the test's own.
class WindowsLoadOrder {
public:
    WindowsLoadOrder() {
        unique_hkey overrides;
        DWORD disposition = 0;
        made_ = RegCreateKeyExW(HKEY_CURRENT_USER, kProgram, 0, nullptr, 0, KEY_WRITE, nullptr, overrides.put(),
                                &disposition) == ERROR_SUCCESS &&
                disposition == REG_CREATED_NEW_KEY;
        ok_ = made_ && std::all_of(std::begin(kPlanted), std::end(kPlanted), [&](const wchar_t* dll) {
                  return RegSetKeyValueW(overrides.get(), L"DllOverrides", dll, REG_SZ, kOrder, sizeof kOrder) ==
                         ERROR_SUCCESS;
              });
    }
    WindowsLoadOrder(const WindowsLoadOrder&) = delete;
    WindowsLoadOrder& operator=(const WindowsLoadOrder&) = delete;
    ~WindowsLoadOrder() {
        if (!made_) return;
        RegDeleteTreeW(HKEY_CURRENT_USER, kProgram);  // what is below it
        RegDeleteKeyW(HKEY_CURRENT_USER, kProgram);
    }
    explicit operator bool() const { return ok_; }

private:
    static constexpr wchar_t kProgram[] = L"Software\\Wine\\AppDefaults\\Test OCX TALVO.exe";
    static constexpr wchar_t kOrder[] = L"native,builtin";
    bool made_ = false, ok_ = false;
};

TEST(DllPlanting, NothingPlantedBesideTheProgramOrItsControlIsLoaded) {
    // A copy of the program in a folder of its own; its control in another, beside the DLL its
    // server needs (the stand-in, found only there). Both folders get a planted DLL of every name.
    ClientScratchFolder folder;
    const std::wstring program = folder.path() + L"Test OCX TALVO.exe";
    const std::wstring controlFolder = folder.path() + L"control\\";
    folder.AddFolder(L"control");
    ASSERT_TRUE(CopyFileW(RunningApp::ProgramPath().c_str(), program.c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(Fixture(L"TalvoSibling.dll").c_str(), (controlFolder + L"TalvoSibling.dll").c_str(), FALSE));
    ASSERT_TRUE(CopyFileW((BinFolder() + L"VbFunzioniStandIn.dll").c_str(),
                          (controlFolder + L"VbFunzioniStandIn.dll").c_str(), FALSE));
    std::vector<std::wstring> planted;
    for (const std::wstring& where : {folder.path(), controlFolder})
        for (const wchar_t* dll : kPlanted) {
            planted.push_back(where + dll + L".dll");
            ASSERT_TRUE(CopyFileW(Fixture(L"TalvoPlanted.dll").c_str(), planted.back().c_str(), FALSE));
        }

    ScratchClasses classes;
    const std::wstring clsid = ScratchClsid(0x5B);
    classes.InprocServer(clsid, controlFolder + L"TalvoSibling.dll");
    const ProgIdRedirect redirect(L"TALVO_VB6.VbFunzioni", clsid);
    ASSERT_TRUE(redirect);
    const WindowsLoadOrder order;
    ASSERT_TRUE(order);

    {
        RunningApp app(program);
        if (app.WaitForForm() == nullptr) {
            ADD_FAILURE() << "the window did not come up";
        } else {
            ASSERT_TRUE(app.Press(IDC_COMMAND1));
            for (const auto& [label, text] :
                 {std::pair{IDC_LABEL2, L"LocalIP: "}, std::pair{IDC_LABEL4, L"MAC Address: "},
                  std::pair{IDC_LABEL5, L"FullPathClientInstalled: "}})
                EXPECT_TRUE(app.Text(label).starts_with(text)) << ToUtf8(app.Text(label));
            ASSERT_TRUE(app.Press(IDC_COMMAND2));
            EXPECT_GT(SendMessageW(app.Child(IDC_LIST1), LB_GETCOUNT, 0, 0), 0);
            EXPECT_EQ(app.Close(), std::optional<DWORD>(0));
        }
    }
    for (const std::wstring& dll : planted)
        EXPECT_EQ(GetFileAttributesW((dll + L".loaded").c_str()), INVALID_FILE_ATTRIBUTES)
            << ToUtf8(dll) << " was loaded into the program";
}

}  // namespace
