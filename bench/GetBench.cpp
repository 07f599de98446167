// "Get" pressed in process against the same platform calls made bare: four Invokes on the
// same control, the locator's registry opens, queries and closes and its version-record
// read, and the five window texts.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "Bench.h"
#include "FullPathClientInstalled.h"
#include "HostedForm.h"
#include "Readout.h"
#include "Stopwatch.h"
#include "Watchdog.h"

namespace bench {

namespace {

constexpr REGSAM kReadAccess = 0x19;  // what the program's registry reader asks for
constexpr wchar_t kInstallDir[] = L"C:\\Pellora\\";

// A key of our own under HKCU; removed with everything below it.
class ScratchKey {
public:
    explicit ScratchKey(const std::wstring& leaf)
        : name_(L"Software\\TalvoBench-" + std::to_wstring(GetCurrentProcessId()) + L"\\" + leaf) {
        RegDeleteTreeW(HKEY_CURRENT_USER, name_.c_str());
        RegCreateKeyExW(HKEY_CURRENT_USER, name_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_, nullptr);
    }
    ScratchKey(const ScratchKey&) = delete;
    ScratchKey& operator=(const ScratchKey&) = delete;
    ~ScratchKey() {
        if (key_) RegCloseKey(key_);
        RegDeleteTreeW(HKEY_CURRENT_USER, name_.c_str());
        RegDeleteKeyW(HKEY_CURRENT_USER, name_.c_str());
        const std::wstring parent = name_.substr(0, name_.find_last_of(L'\\'));
        RegDeleteKeyW(HKEY_CURRENT_USER, parent.c_str());  // once its last child is gone
    }

    HKEY get() const { return key_; }
    bool SetText(const wchar_t* subKey, const wchar_t* value, const std::wstring& text) const {
        HKEY sub = nullptr;
        if (RegCreateKeyExW(key_, subKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr) != ERROR_SUCCESS)
            return false;
        const LSTATUS status = RegSetValueExW(sub, value, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                              static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(sub);
        return status == ERROR_SUCCESS;
    }

private:
    std::wstring name_;
    HKEY key_ = nullptr;
};

// HKEY_LOCAL_MACHINE seen through a scratch key by this process's registry calls, so both
// sides meet exactly the vendor keys the scenario gives, whatever the machine holds.
class HklmOverride {
public:
    explicit HklmOverride(HKEY root) : ok_(RegOverridePredefKey(HKEY_LOCAL_MACHINE, root) == ERROR_SUCCESS) {}
    HklmOverride(const HklmOverride&) = delete;
    HklmOverride& operator=(const HklmOverride&) = delete;
    ~HklmOverride() { RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr); }
    bool ok() const { return ok_; }

private:
    bool ok_;
};

// ---- The bare sequence ----

std::wstring Ask(IDispatch* control, DISPID member) {
    DISPPARAMS none{};
    VARIANT answer;
    VariantInit(&answer);
    EXCEPINFO info{};
    UINT argumentError = 0;
    std::wstring text;
    if (SUCCEEDED(control->Invoke(member, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &none,
                                  &answer, &info, &argumentError)) &&
        answer.vt == VT_BSTR)
        text.assign(answer.bstrVal, SysStringLen(answer.bstrVal));
    VariantClear(&answer);
    return text;
}

std::string CompanyNameAnsi() {
    wchar_t module[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, module, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return {};
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(module, &ignored);
    if (size == 0) return {};
    std::vector<BYTE> record(size);
    void* text = nullptr;
    UINT chars = 0;
    if (!GetFileVersionInfoW(module, 0, size, record.data()) ||
        !VerQueryValueW(record.data(), L"\\StringFileInfo\\041004B0\\CompanyName", &text, &chars) || !text)
        return {};
    const wchar_t* name = static_cast<const wchar_t*>(text);
    const int wide = static_cast<int>(wcsnlen(name, chars));
    char ansi[256];
    const int n = WideCharToMultiByte(CP_ACP, 0, name, wide, ansi, sizeof ansi, nullptr, nullptr);
    return std::string(ansi, static_cast<size_t>(n > 0 ? n : 0));
}

// Opens SOFTWARE\<company>\<product> and reads InstallDir; false when the key does not open.
bool Probe(const std::string& company, const char* product, std::string& dir) {
    dir.clear();
    const std::string path = "SOFTWARE\\" + company + "\\" + product;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, kReadAccess, &key) != ERROR_SUCCESS) return false;
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExA(key, "InstallDir", nullptr, &type, nullptr, &size) == ERROR_SUCCESS && type == REG_SZ) {
        std::string buffer(size, '\0');
        if (RegQueryValueExA(key, "InstallDir", nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size) ==
            ERROR_SUCCESS) {
            buffer.resize(std::min<size_t>(size, buffer.size()));
            dir = buffer.substr(0, buffer.find('\0'));
        }
    }
    RegCloseKey(key);
    return true;
}

bool IsFile(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The locator's decisions over the same keys. recordPerProbe reads the version record before
// every key, as the program does today; otherwise once.
std::wstring BareLocate(bool recordPerProbe) {
    std::string company = CompanyNameAnsi();
    auto probe = [&](const char* product, std::string& dir) {
        if (recordPerProbe) company = CompanyNameAnsi();
        return Probe(company, product, dir);
    };
    std::string dir, found;
    if (probe("Pellora", dir) && !dir.empty()) {
        found = dir + "Pellora.exe";
    } else if (probe("Quintell", dir)) {
        if (!dir.empty())
            found = dir + "Quintell.exe";
        else if (probe("Sarvek", dir) && !dir.empty())
            found = dir + "Pellora.exe";
    } else if (probe("Sarvek", dir) && !dir.empty()) {
        if (IsFile(dir + "Quintell\\Quintell.exe"))
            found = dir + "Quintell\\Quintell.exe";
        else if (IsFile(dir + "Pellora.exe"))
            found = dir + "Pellora.exe";
    }
    if (found.empty()) return {};
    wchar_t wide[MAX_PATH * 2];
    const int n = MultiByteToWideChar(CP_ACP, 0, found.data(), static_cast<int>(found.size()), wide, MAX_PATH * 2);
    return std::wstring(wide, static_cast<size_t>(n > 0 ? n : 0));
}

struct BareGet {
    IDispatch* control;
    HWND form;
    HWND labels[4];

    std::wstring operator()() const {
        SetWindowTextW(labels[0], (L"LocalIP: " + Ask(control, kDispIdLocalIp)).c_str());
        SetWindowTextW(labels[1], (L"Plr Stato: " + Ask(control, kDispIdClientStatus)).c_str());
        SetWindowTextW(labels[2], (L"MAC Address: " + Ask(control, kDispIdMacAddress)).c_str());
        const std::wstring located = BareLocate(false);
        SetWindowTextW(labels[3], (L"FullPathClientInstalled: " + located).c_str());
        SetWindowTextW(form, Ask(control, kDispIdMacAddress) == kZeroMacAddress ? L"True" : L"False");
        return located;
    }
};

constexpr int kWarmUp = 20;

bool MeasureScenario(const Options& options, Table& table, HostedForm& hosted, const char* label, HKEY root) {
    const HklmOverride view(root);
    if (!view.ok()) {
        std::fprintf(stderr, "talvo_bench: get: RegOverridePredefKey failed\n");
        return false;
    }
    Form1& form = hosted.form();
    HWND button = form.Control(IDC_COMMAND1);
    const BareGet bare{
        form.VbFunzioni1(),
        form.Window(),
        {form.Control(IDC_LABEL2), form.Control(IDC_LABEL3), form.Control(IDC_LABEL4), form.Control(IDC_LABEL5)}};

    // Both sides must have done the same work: compare what they showed.
    SendMessageW(button, BM_CLICK, 0, 0);
    if (!hosted.Check("get")) return false;
    const std::wstring oursShown = WindowText(form.Control(IDC_LABEL5));
    const std::wstring bareShown = L"FullPathClientInstalled: " + bare();
    if (oursShown != bareShown || WindowText(form.Control(IDC_LABEL2)) != L"LocalIP: 10.0.0.1") {
        std::fprintf(stderr, "talvo_bench: get (%s): the program showed \"%s\", the bare calls \"%s\"\n", label,
                     Narrow(oursShown).c_str(), Narrow(bareShown).c_str());
        return false;
    }

    const HWND labels[4] = {bare.labels[0], bare.labels[1], bare.labels[2], bare.labels[3]};
    IDispatch* control = form.VbFunzioni1();
    // After the two compared: the pieces of a press, to show where its time goes.
    const std::vector<std::function<void()>> sides = {
        [button] { SendMessageW(button, BM_CLICK, 0, 0); },
        [&bare] { bare(); },
        [&form, button] {
            SendMessageW(form.Window(), WM_COMMAND, MAKEWPARAM(IDC_COMMAND1, BN_CLICKED),
                         reinterpret_cast<LPARAM>(button));
        },
        [&form] {
            for (const ControlId id : {IDC_LABEL2, IDC_LABEL3, IDC_LABEL4, IDC_LABEL5}) (void)form.Control(id);
        },
        [control] {
            for (const DISPID id : {kDispIdLocalIp, kDispIdClientStatus, kDispIdMacAddress, kDispIdMacAddress})
                (void)Ask(control, id);
        },
        [&labels] {
            for (HWND label : labels) SetWindowTextW(label, L"Label: 0123456789");
        },
        [&form] { SetWindowTextW(form.Window(), L"False"); },
        [] { (void)FullPathClientInstalled(); },
        [] { (void)BareLocate(false); },
        [] { (void)BareLocate(true); },
    };
    // Every side starts from the window as it was before any press, so that each really
    // changes the texts (setting a text to what it already is costs less).
    const auto fresh = [&form, &labels] {
        const wchar_t* const initial[] = {L"Label2", L"Label3", L"Label4", L"Label5"};
        for (int i = 0; i < 4; ++i) SetWindowTextW(labels[i], initial[i]);
        SetWindowTextW(form.Window(), L"Test OCX TALVO");
        PumpMessages();
    };
    Interleave(kWarmUp, sides, PumpMessages, fresh);
    const std::vector<Samples> s = Interleave(options.getRounds, sides, PumpMessages, fresh);
    if (!hosted.Check("get")) return false;

    auto row = [&](std::string name, size_t ours, size_t bare, std::string target) {
        table.Add({std::move(name), "us", s[ours].Median(), s[bare].Median(), s[ours].Min(), s[bare].Min(),
                   std::move(target)});
    };
    // What the program is handed for a click is WM_COMMAND; the button's own work before it
    // (capture, pressed look) is the platform's, shown apart.
    row(std::string("Get (the click's WM_COMMAND), ") + label, 2, 1, "<= 1.10");
    row("  with the button's own click work (BM_CLICK)", 0, 1, "");
    row("  FullPathClientInstalled alone", 7, 8, "");
    row("  FullPathClientInstalled vs record per key", 7, 9, "");

    // Pieces by their minimum over the rounds: small costs, easily hidden by a busy machine.
    char note[320];
    std::snprintf(note, sizeof note,
                  "Get, %s, pieces (minimum): the button's click work %.0f us, four label lookups %.0f us; four "
                  "Invokes %.0f us, four label texts %.0f us, the caption %.0f us, the bare locator %.0f us.",
                  label, s[0].Min() - s[2].Min(), s[3].Min(), s[4].Min(), s[5].Min(), s[6].Min(), s[8].Min());
    table.Note(note);
    return true;
}

// What watching costs a guarded call (the record published and taken back) and a member of
// Get (its stopwatch), in a tight loop: small beside a Get, and steadier than its ratio.
void NoteWatchCost(Table& table) {
    constexpr int kCalls = 100000;
    double start = NowUs();
    for (int i = 0; i < kCalls; ++i) {
        const WatchedCall watched(L"TALVO_VB6.VbFunzioni", L"calling member 0x60030001");
    }
    const double recordNs = (NowUs() - start) * 1000.0 / kCalls;
    start = NowUs();
    volatile double sink = 0;
    for (int i = 0; i < kCalls; ++i) sink = sink + Stopwatch().Ms();
    const double stopwatchNs = (NowUs() - start) * 1000.0 / kCalls;
    char note[200];
    std::snprintf(note, sizeof note,
                  "The watch: %.0f ns per guarded call for its record, %.0f ns per member of Get for its stopwatch.",
                  recordNs, stopwatchNs);
    table.Note(note);
}

}  // namespace

bool MeasureGet(const Options& options, Table& table) {
    // Fixed answers from the stand-in, read from this process's environment at each Invoke.
    SetEnvironmentVariableW(L"TALVO_STANDIN_60030001", L"str:10.0.0.1");
    SetEnvironmentVariableW(L"TALVO_STANDIN_60030002", L"str:00-1A-2B-3C-4D-5E");
    SetEnvironmentVariableW(L"TALVO_STANDIN_60030005", L"str:Running");
    SetEnvironmentVariableW(L"TALVO_STANDIN_LOG", nullptr);

    HostedForm hosted;
    if (!hosted.Check("get")) return false;

    const ScratchKey none(L"none");
    const ScratchKey pellora(L"pellora");
    if (!none.get() || !pellora.get() || !pellora.SetText(L"SOFTWARE\\Brevanti\\Pellora", L"InstallDir", kInstallDir)) {
        std::fprintf(stderr, "talvo_bench: get: the scratch keys could not be made\n");
        return false;
    }
    bool ok = MeasureScenario(options, table, hosted, "no vendor keys", none.get());
    ok = MeasureScenario(options, table, hosted, "Pellora key", pellora.get()) && ok;
    NoteWatchCost(table);
    table.Note("Get: " + std::to_string(options.getRounds) +
               " interleaved rounds per side; stand-in answers scripted (str:), HKLM seen through a scratch key.");
    return ok;
}

}  // namespace bench
