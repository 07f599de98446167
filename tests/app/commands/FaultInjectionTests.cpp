// Whatever the control hands back, the program shows it or reports a numbered error, and
// gives back everything it took: the stand-in scripted into every error and value type,
// in process (top level replaced) and end to end (the real message box).
#include <gtest/gtest.h>

#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ControlIds.h"
#include "FormHarness.h"
#include "ProcessHandleCount.h"
#include "ProcessResources.h"
#include "Readout.h"
#include "RunningApp.h"
#include "StandInScript.h"

namespace {

constexpr wchar_t kControlSource[] = L"TALVO_VB6.VbFunzioni";
constexpr wchar_t kUntouchedCaption[] = L"Test OCX TALVO";
constexpr int kLeakRounds = 3;

using Script = std::pair<DISPID, std::wstring>;

// A long description, colons and non-ASCII letters included (a description is the rest of
// the answer, colons and all). The stand-in reads its script from an environment variable,
// which holds at most 32,767 characters: 32,000 is as long as a scripted one gets.
constexpr size_t kScriptableLength = 32000;
constexpr size_t kHugeLength = 100 * 1024;
std::wstring LongDescription(size_t length = kScriptableLength) {
    std::wstring text;
    for (int i = 0; text.size() < length; ++i)
        text += L"Errore n\u00B0" + std::to_wstring(i) + L": la scheda \u00E8 assente. ";
    text.resize(length);
    return text;
}

// What the system says for an HRESULT it knows; the program's own text when it knows none.
std::wstring SystemTextOr(HRESULT hr) {
    const std::wstring text = SystemMessage(static_cast<DWORD>(hr));
    if (!text.empty()) return text;
    wchar_t hex[32];
    wsprintfW(hex, L"Unexpected error (0x%08X)", static_cast<unsigned>(hr));
    return hex;
}

std::wstring DecimalSeparator() {
    wchar_t separator[8] = {};
    GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, separator, 8);
    return separator;
}

// A date as automation shows it in the user's locale: the short date, the time, or both
// (an exact day has no time, day zero no date).
std::wstring DateText(WORD year, WORD month, WORD day, WORD hour, bool withDate, bool withTime) {
    const SYSTEMTIME at{year, month, 0, day, hour, 0, 0, 0};
    wchar_t date[128] = {};
    wchar_t time[128] = {};
    if (withDate) GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &at, nullptr, date, 128);
    if (withTime) GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &at, nullptr, time, 128);
    if (withDate && withTime) return std::wstring(date) + L" " + time;
    return withDate ? date : time;
}

// Windows of this process; the hidden ones OLE keeps for the apartment included, so the
// figure compares only with itself.
size_t OwnWindows() { return WindowCount(GetCurrentProcessId()); }

// One press of Get on a fresh window.
struct Outcome {
    std::optional<Report> report;
    std::wstring labels[4];  // after the press, when the window stayed
    std::wstring caption;
    bool closed = false;
    std::optional<WPARAM> exitCode;  // carried by the WM_QUIT a closed window leaves
};

class FaultInjection : public FormHarness {
protected:
    Outcome PressGet(std::initializer_list<Script> scripts) {
        std::vector<ScopedEnv> env;
        for (const Script& script : scripts) env.push_back(ScriptAnswers(script.first, script.second));
        reports_.clear();
        Outcome outcome;
        {
            std::unique_ptr<Form1> form = Form1::Create(GetModuleHandleW(nullptr), 96, Recorder());
            SendMessageW(form->Control(IDC_COMMAND1), BM_CLICK, 0, 0);
            outcome.closed = !IsWindow(form->Window());
            if (!outcome.closed) {
                for (int i = 0; i < 4; ++i)
                    outcome.labels[i] = TextOf(form->Control(static_cast<ControlId>(IDC_LABEL2 + i)));
                outcome.caption = TextOf(form->Window());
            }
        }
        outcome.exitCode = DrainMessages();
        EXPECT_LE(reports_.size(), 1u) << "one report per press";
        if (!reports_.empty()) outcome.report = reports_.front();
        return outcome;
    }

    // Runs a round of cases once to warm up, then again and again: the process must hold
    // no more handles and windows after the later rounds than after the first.
    template <typename Round>
    void ExpectNoLeakAcross(Round round) {
        round();
        if (HasFatalFailure() || HasNonfatalFailure()) return;  // the cases said it already
        const std::optional<size_t> handles = ProcessOwnHandleCount();
        const size_t windows = OwnWindows();
        for (int i = 0; i < kLeakRounds; ++i) round();
        const std::optional<size_t> handlesAfter = ProcessOwnHandleCount();
        ASSERT_TRUE(handles.has_value() && handlesAfter.has_value());
        EXPECT_LE(*handlesAfter, *handles) << "handles grew over " << kLeakRounds << " rounds";
        EXPECT_EQ(OwnWindows(), windows) << "windows were left behind";
        RecordProperty("handles", std::to_string(*handlesAfter));
    }
};

// Where each call of a press stands: the members in the order Get asks them, the label each
// fills (the caption for the second MAC), and what answers the earlier calls got.
struct Call {
    const char* name;
    DISPID member;
    int filledBefore;       // labels filled before this call
    const wchar_t* leadIn;  // answers of the same member before the failing one
};
constexpr Call kCalls[] = {
    {"LocalIP", kDispIdLocalIp, 0, L""},
    {"PelloraStatus", kDispIdClientStatus, 1, L""},
    {"MacAddress", kDispIdMacAddress, 2, L""},
    {"MacAddress again", kDispIdMacAddress, 4, L"str:00-00-00-00-00-00|"},
};

TEST_F(FaultInjection, AnErrorOfAnyCallIsReportedWhereItStandsAndEndsTheProgram) {
    const std::wstring longText = LongDescription();
    const std::wstring generic = GenericErrorDescription();
    struct Case {
        std::wstring answer;  // without the error:/deferred: keyword
        long number;
        std::wstring source, description;
        WPARAM exitCode;
    } const cases[] = {
        {L"1001:VbFunzioni:Scheda di rete assente", 1001, L"VbFunzioni", L"Scheda di rete assente", 1001},
        {L"1001:VbFunzioni:", 1001, L"VbFunzioni", generic, 1001},
        {L"5:VbFunzioni:" + longText, 5, L"VbFunzioni", longText, 5},
        {L"94::Manca il valore", 94, kControlSource, L"Manca il valore", 94},
        // A full HRESULT keeps its number; a control-facility one its code.
        {L"0x80070057:Rete:Parametro errato", static_cast<long>(E_INVALIDARG), L"Rete", L"Parametro errato",
         static_cast<DWORD>(E_INVALIDARG)},
        {L"0x800A0035:Rete:File non trovato", 53, L"Rete", L"File non trovato", 53},
        // Number 0 is still a failure: the program ends with a non-zero code.
        {L"0:Rete:Nessun numero", 0, L"Rete", L"Nessun numero", 1},
    };
    const std::wstring keywords[] = {L"error:", L"deferred:"};

    const std::wstring zeroMac = L"MAC Address: 00-00-00-00-00-00";
    const std::wstring filled[4] = {L"LocalIP: 10.0.0.7", L"Plr Stato: Installed", zeroMac, L""};
    const std::wstring untouched[4] = {L"Label2", L"Label3", L"Label4", L"Label5"};

    ExpectNoLeakAcross([&] {
        for (const Call& call : kCalls) {
            for (const std::wstring& keyword : keywords) {
                for (const Case& c : cases) {
                    SCOPED_TRACE(testing::Message() << call.name << " " << testing::PrintToString(keyword)
                                                    << testing::PrintToString(c.answer.substr(0, 40)));
                    const std::wstring failing = call.leadIn + keyword + c.answer;
                    std::vector<Script> scripts = {{kDispIdLocalIp, L"str:10.0.0.7"},
                                                   {kDispIdClientStatus, L"str:Installed"},
                                                   {kDispIdMacAddress, L"str:00-00-00-00-00-00"}};
                    for (Script& script : scripts)
                        if (script.first == call.member) script.second = failing;
                    const Outcome outcome = PressGet({scripts[0], scripts[1], scripts[2]});

                    ASSERT_TRUE(outcome.report.has_value());
                    const Report& report = *outcome.report;
                    EXPECT_EQ(report.number, c.number);
                    EXPECT_EQ(report.source, c.source);
                    EXPECT_TRUE(report.description == c.description)
                        << "description of " << report.description.size()
                        << " characters: " << testing::PrintToString(report.description.substr(0, 80));
                    // The calls before the failing one have shown their answers; nothing after.
                    for (int i = 0; i < 4; ++i) {
                        if (i == 3) {
                            if (call.filledBefore == 4)
                                EXPECT_EQ(report.labels[3].rfind(L"FullPathClientInstalled: ", 0), 0u);
                            else
                                EXPECT_EQ(report.labels[3], untouched[3]);
                        } else {
                            EXPECT_EQ(report.labels[i], i < call.filledBefore ? filled[i] : untouched[i]) << i;
                        }
                    }
                    EXPECT_EQ(report.caption, kUntouchedCaption);
                    EXPECT_TRUE(outcome.closed) << "the program ends after the report";
                    EXPECT_EQ(outcome.exitCode, std::optional<WPARAM>(c.exitCode));
                }
            }
        }
    });
}

TEST_F(FaultInjection, EveryAnswerTypeIsShownAsTextOrReportedAsANumberedError) {
    const std::wstring point = DecimalSeparator();
    struct Shown {
        const wchar_t* answer;
        std::wstring text;
    } const shown[] = {
        {L"empty", L""},
        {L"str:", L""},
        {L"i4:42", L"42"},
        {L"i4:-2147483648", L"-2147483648"},
        {L"r8:2.5", L"2" + point + L"5"},
        {L"r8:-0.125", L"-0" + point + L"125"},
        {L"bool:true", L"True"},
        {L"bool:false", L"False"},
        {L"date:45000.5", DateText(2023, 3, 15, 12, true, true)},
        {L"date:45000", DateText(2023, 3, 15, 0, true, false)},
        {L"date:0.75", DateText(1899, 12, 30, 18, false, true)},
        // A label shows text up to a NUL; the whole answer still counts.
        {L"str:ab\\0cd", L"ab"},
        {L"str:\\0", L""},
    };
    struct Refused {
        const wchar_t* answer;
        long number;
        std::wstring description;
        long otherNumber = 0;  // a second platform's number for the same refusal
    } const refused[] = {
        {L"null", errnum::InvalidUseOfNull, L"Invalid use of Null"},
        {L"array", errnum::TypeMismatch, L"Type mismatch"},
        // An object with no default value: Windows converts it to 438, Wine to 13.
        {L"dispatch", 438, L"", errnum::TypeMismatch},
        // Failures with no exception information: known ones by their numbers, the rest as the
        // system knows them.
        {L"hresult:0x80020005", errnum::TypeMismatch, L"Type mismatch"},
        {L"hresult:0x8002000A", 6, L"Overflow"},
        {L"hresult:0x80020003", 438, L"Object doesn't support this property or method"},
        {L"hresult:0x8007000E", errnum::OutOfMemory, L"Out of memory"},
        {L"hresult:0x80004005", static_cast<long>(E_FAIL), SystemTextOr(E_FAIL)},
        // The number a crash is reported with, returned by a member: that member's error.
        {L"hresult:0x80010105", static_cast<long>(RPC_E_SERVERFAULT), L""},
        {L"hresult:0x800A0035", 53, SystemTextOr(static_cast<HRESULT>(0x800A0035))},
        // Says an exception happened but tells nothing about it.
        {L"hresult:0x80020009", static_cast<long>(DISP_E_EXCEPTION), L""},
        // A date beyond the calendar has no text.
        {L"date:1e10", static_cast<long>(E_INVALIDARG), SystemTextOr(E_INVALIDARG)},
        // More text than the control can make.
        {L"rep:268435457:x", errnum::OutOfMemory, L"Out of memory"},
    };

    ExpectNoLeakAcross([&] {
        for (const Shown& s : shown) {
            SCOPED_TRACE(testing::PrintToString(std::wstring(s.answer)));
            const Outcome outcome =
                PressGet({{kDispIdLocalIp, s.answer}, {kDispIdClientStatus, s.answer}, {kDispIdMacAddress, s.answer}});
            ASSERT_FALSE(outcome.report.has_value()) << outcome.report->description;
            EXPECT_EQ(outcome.labels[0], L"LocalIP: " + s.text);
            EXPECT_EQ(outcome.labels[1], L"Plr Stato: " + s.text);
            EXPECT_EQ(outcome.labels[2], L"MAC Address: " + s.text);
            EXPECT_EQ(outcome.caption, L"False");
        }
        for (const Refused& r : refused) {
            SCOPED_TRACE(testing::PrintToString(std::wstring(r.answer)));
            // Asked first for the MAC address, so the earlier labels show the round got there.
            const Outcome outcome = PressGet(
                {{kDispIdLocalIp, L"str:10.0.0.7"}, {kDispIdClientStatus, L"i4:3"}, {kDispIdMacAddress, r.answer}});
            ASSERT_TRUE(outcome.report.has_value());
            const Report& report = *outcome.report;
            if (r.otherNumber != 0)
                EXPECT_TRUE(report.number == r.number || report.number == r.otherNumber) << report.number;
            else
                EXPECT_EQ(report.number, r.number);
            if (!r.description.empty())
                EXPECT_EQ(report.description, r.description);
            else
                EXPECT_FALSE(report.description.empty());
            EXPECT_EQ(report.source, kControlSource);
            EXPECT_EQ(report.labels[0], L"LocalIP: 10.0.0.7");
            EXPECT_EQ(report.labels[1], L"Plr Stato: 3");
            EXPECT_EQ(report.labels[2], L"Label4");
            EXPECT_TRUE(outcome.closed);
            EXPECT_EQ(outcome.exitCode, std::optional<WPARAM>(static_cast<WPARAM>(report.number)));
        }
    });
}

TEST_F(FaultInjection, HugeAndNulBearingStringsAreShownWholeAndGivenBack) {
    constexpr size_t kMiB = 1024 * 1024;
    const std::wstring huge(kMiB, L'x');
    const auto pressHuge = [&] {
        const Outcome outcome = PressGet({{kDispIdLocalIp, L"rep:1048576:x"},
                                          {kDispIdClientStatus, L"str:Running"},
                                          {kDispIdMacAddress, L"rep:1048576:x"}});
        ASSERT_FALSE(outcome.report.has_value()) << outcome.report->description;
        EXPECT_EQ(outcome.labels[0].size(), 9 + kMiB);
        EXPECT_TRUE(outcome.labels[0] == L"LocalIP: " + huge);
        EXPECT_TRUE(outcome.labels[2] == L"MAC Address: " + huge);
        EXPECT_EQ(outcome.labels[1], L"Plr Stato: Running");
        EXPECT_EQ(outcome.caption, L"False");
    };
    pressHuge();
    const std::optional<size_t> before = PrivateBytes(GetCurrentProcess());
    ExpectNoLeakAcross([&] {
        for (int i = 0; i < 4; ++i) pressHuge();
    });
    // Four answers of 2 MiB a press: anything kept would show at once.
    const std::optional<size_t> after = PrivateBytes(GetCurrentProcess());
    ASSERT_TRUE(before.has_value() && after.has_value());
    EXPECT_LT(*after, *before + kMiB) << "private bytes grew by " << (*after - *before);
    RecordProperty("private_bytes_growth", std::to_string(*after > *before ? *after - *before : 0));

    // The zero address with anything after a NUL is another answer: shown as the zero
    // address, but the caption does not call it one.
    const Outcome nul = PressGet({{kDispIdLocalIp, L"str:10.0.0.7"},
                                  {kDispIdClientStatus, L"str:Running"},
                                  {kDispIdMacAddress, L"str:00-00-00-00-00-00\\0tail"}});
    ASSERT_FALSE(nul.report.has_value());
    EXPECT_EQ(nul.labels[2], L"MAC Address: 00-00-00-00-00-00");
    EXPECT_EQ(nul.caption, L"False");
}

// A control of our own for what the stand-in's script cannot carry: a description longer
// than an environment variable holds, raised directly or through the deferred fill-in.
class RaisingControl final : public IDispatch {
public:
    RaisingControl(std::wstring description, bool deferred)
        : description_(std::move(description)), deferred_(deferred) {}

    STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
        if (out == nullptr) return E_POINTER;
        *out = riid == IID_IUnknown || riid == IID_IDispatch ? this : nullptr;
        if (*out == nullptr) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
    STDMETHODIMP_(ULONG) Release() override { return --references_; }  // lives on the stack
    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        *count = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return DISP_E_UNKNOWNNAME; }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO* info, UINT*) override {
        if (info == nullptr) return DISP_E_EXCEPTION;
        *info = EXCEPINFO{};
        if (deferred_) {
            pending_ = this;
            info->pfnDeferredFillIn = &FillIn;
        } else {
            Fill(info);
        }
        return DISP_E_EXCEPTION;
    }

    ULONG References() const { return references_; }

private:
    void Fill(EXCEPINFO* info) const {
        info->scode = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, 1001);
        info->bstrSource = SysAllocString(L"VbFunzioni");
        info->bstrDescription = SysAllocStringLen(description_.data(), static_cast<UINT>(description_.size()));
        info->bstrHelpFile = SysAllocString(L"C:\\Pellora\\Guida.chm");
    }
    static HRESULT STDAPICALLTYPE FillIn(EXCEPINFO* info) {
        if (pending_ == nullptr) return E_UNEXPECTED;
        pending_->Fill(info);
        info->pfnDeferredFillIn = nullptr;
        pending_ = nullptr;
        return S_OK;
    }

    static inline RaisingControl* pending_ = nullptr;
    std::wstring description_;
    bool deferred_;
    ULONG references_ = 1;
};

TEST(FaultInjectionDirect, AHundredKibDescriptionReachesTheTopLevelWholeAndIsGivenBack) {
    const std::wstring huge = LongDescription(kHugeLength);
    for (const bool deferred : {false, true}) {
        SCOPED_TRACE(deferred ? "deferred" : "filled in");
        RaisingControl control(huge, deferred);
        ControlCalls calls(kControlSource);
        const auto ask = [&] {
            try {
                AskFunctionControl(ControlPtr<IDispatch>::Hold(calls, &control, L"holding it"), kDispIdMacAddress);
                ADD_FAILURE() << "no error";
            } catch (const NumberedError& error) {
                EXPECT_EQ(error.Number(), 1001);
                EXPECT_EQ(error.Source(), L"VbFunzioni");
                EXPECT_EQ(error.Description().size(), kHugeLength);
                EXPECT_TRUE(error.Description() == huge);
            }
        };
        ask();
        // Heap bytes rather than private bytes: under Wine's heap checking freed blocks wait
        // in a queue, and the pages they held stay committed.
        const size_t before = HeapBytesInUse();
        // Each description is 200 KiB: one kept per call would grow by 40 MiB.
        for (int i = 0; i < 200 && !testing::Test::HasFailure(); ++i) ask();
        const size_t after = HeapBytesInUse();
        EXPECT_LT(after, before + 1024 * 1024) << "heap bytes grew by " << (after - before);
        EXPECT_EQ(control.References(), 1u) << "a reference to the control was kept";
    }
}

// The real top level: the message box, the exit code, and a program that ends whole.
struct BoxCase {
    DISPID member;
    std::wstring answer;
    std::wstring number;
    std::wstring description;  // the whole message's middle; empty: check the number only
    std::wstring source;
    DWORD exitCode;
};

void ExpectReportedByTheProgram(const BoxCase& c) {
    SCOPED_TRACE(testing::PrintToString(c.answer.substr(0, 60)));
    auto script = ScriptAnswers(c.member, c.answer);
    RunningApp app;
    ASSERT_NE(app.WaitForForm(), nullptr);
    ASSERT_TRUE(app.PostPress(IDC_COMMAND1));
    HWND box = app.WaitForMessageBox();
    ASSERT_NE(box, nullptr) << "no message box";
    const std::wstring text = MessageBoxText(box);
    const std::wstring head = L"Test OCX TALVO\nRun-time error '" + c.number + L"':\n\n";
    EXPECT_EQ(text.substr(0, head.size()), head) << testing::PrintToString(text.substr(0, 200));
    if (!c.description.empty()) {
        EXPECT_TRUE(text == head + c.description + L"\n\nSource: " + c.source)
            << testing::PrintToString(text.substr(0, 200)) << " ... "
            << testing::PrintToString(text.size() > 200 ? text.substr(text.size() - 100) : std::wstring());
    }
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    EXPECT_EQ(app.WaitForExit(), std::optional<DWORD>(c.exitCode));
}

TEST(FaultInjectionEndToEnd, TheMessageBoxReportsEveryKindOfFailureAndTheProgramEnds) {
    const BoxCase cases[] = {
        // A description longer than a screen is shown cut, with an ellipsis.
        {kDispIdMacAddress, L"error:1001:VbFunzioni:" + LongDescription(), L"1001",
         LongDescription().substr(0, 1024) + L"\u2026", L"VbFunzioni", 1001},
        {kDispIdLocalIp, L"deferred:1001:VbFunzioni:", L"1001", GenericErrorDescription(), L"VbFunzioni", 1001},
        {kDispIdClientStatus, L"null", L"94", L"Invalid use of Null", kControlSource, 94},
        {kDispIdLocalIp, L"hresult:0x80004005", std::to_wstring(static_cast<long>(E_FAIL)), SystemTextOr(E_FAIL),
         kControlSource, static_cast<DWORD>(E_FAIL)},
        {kDispIdMacAddress, L"array", L"13", L"Type mismatch", kControlSource, 13},
        // A message box shows text up to a NUL: the description stops there, the source stays.
        {kDispIdClientStatus, L"error:5:VbFunzioni:Scheda\\0assente", L"5", L"Scheda", L"VbFunzioni", 5},
    };
    for (const BoxCase& c : cases) ExpectReportedByTheProgram(c);
}

}  // namespace
