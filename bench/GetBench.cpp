// "Get" pressed in process against the same platform calls made bare: four Invokes on the
// same control, the locator's registry opens, queries and closes and its version-record
// read, and the five window texts.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "BareCalls.h"
#include "Bench.h"
#include "FullPathClientInstalled.h"
#include "HostedForm.h"
#include "Readout.h"
#include "Stopwatch.h"
#include "Watchdog.h"

namespace bench {

namespace {

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
    ScriptStandIn();

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
