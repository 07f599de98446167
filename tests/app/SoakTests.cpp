// The built program left open and pressed many times from outside: whatever one press
// costs must be given back, or a long diagnosis session ends in a program that misbehaves.
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>

#include "ControlIds.h"
#include "ProcessHandleCount.h"
#include "ProcessResources.h"
#include "RunningApp.h"
#include "StandInScript.h"

namespace {

constexpr int kGetPresses = 10000;
constexpr int kGetPressesPerCommand2 = 5;  // 2,000 presses of Command2 among them
constexpr int kBaselinePress = 100;
constexpr size_t kPrivateBytesAllowance = 256 * 1024;

struct Figures {
    size_t handles = 0;
    size_t windows = 0;
    size_t privateBytes = 0;
    std::optional<GuiObjects> gui;
};

Figures Measure(const RunningApp& app) {
    Figures figures;
    const std::optional<size_t> handles = HandleCountOfProcess(app.ProcessId());
    const std::optional<size_t> privateBytes = PrivateBytes(app.Process());
    EXPECT_TRUE(handles.has_value()) << "the system handle table is not readable";
    EXPECT_TRUE(privateBytes.has_value()) << "the program's memory is not readable";
    figures.handles = handles.value_or(0);
    figures.privateBytes = privateBytes.value_or(0);
    figures.windows = WindowCount(app.ProcessId());
    figures.gui = GuiObjectCount(app.Process());
    return figures;
}

void Record(const char* when, const Figures& figures) {
    const std::string prefix = std::string(when) + "_";
    testing::Test::RecordProperty(prefix + "handles", std::to_string(figures.handles));
    testing::Test::RecordProperty(prefix + "windows", std::to_string(figures.windows));
    testing::Test::RecordProperty(prefix + "private_bytes", std::to_string(figures.privateBytes));
    if (figures.gui) {
        testing::Test::RecordProperty(prefix + "gdi_objects", std::to_string(figures.gui->gdi));
        testing::Test::RecordProperty(prefix + "user_objects", std::to_string(figures.gui->user));
    }
    std::printf("soak %-9s handles %zu, windows %zu, private bytes %zu", when, figures.handles, figures.windows,
                figures.privateBytes);
    if (figures.gui)
        std::printf(", GDI objects %lu, USER objects %lu\n", figures.gui->gdi, figures.gui->user);
    else
        std::printf(", GDI/USER objects: not implemented by this platform (GetGuiResources answers 0)\n");
}

// "No growth" means something only if the measures see growth: a handle and a MiB taken
// by this process must show.
TEST(Soak, TheMeasuresSeeWhatAProcessTakes) {
    const std::optional<size_t> handles = HandleCountOfProcess(GetCurrentProcessId());
    const std::optional<size_t> bytes = PrivateBytes(GetCurrentProcess());
    ASSERT_TRUE(handles.has_value() && bytes.has_value());
    EXPECT_GT(*handles, 0u);

    const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    void* block = VirtualAlloc(nullptr, 1024 * 1024, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    ASSERT_NE(event, nullptr);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(HandleCountOfProcess(GetCurrentProcessId()), *handles + 1);
    const std::optional<size_t> grown = PrivateBytes(GetCurrentProcess());
    ASSERT_TRUE(grown.has_value());
    EXPECT_GE(*grown, *bytes + 1024 * 1024);
    CloseHandle(event);
    VirtualFree(block, 0, MEM_RELEASE);
    EXPECT_EQ(HandleCountOfProcess(GetCurrentProcessId()), *handles);
}

TEST(Soak, TenThousandGetsAndTwoThousandProcessListsLeakNothing) {
    // Fixed answers: the control costs next to nothing, so what is measured is the program.
    auto ip = ScriptAnswers(0x60030001, L"str:192.168.10.20");
    auto status = ScriptAnswers(0x60030005, L"str:Installed");
    auto mac = ScriptAnswers(0x60030002, L"str:00-1A-2B-3C-4D-5E");

    RunningApp app;
    ASSERT_NE(app.WaitForForm(), nullptr);
    HWND list = app.Child(IDC_LIST1);
    const ULONGLONG started = GetTickCount64();

    Figures baseline;
    int command2Presses = 0;
    for (int press = 1; press <= kGetPresses; ++press) {
        ASSERT_TRUE(app.Press(IDC_COMMAND1)) << "Get did not answer at press " << press;
        if (press % kGetPressesPerCommand2 == 0) {
            ASSERT_TRUE(app.Press(IDC_COMMAND2)) << "Command2 did not answer at press " << press;
            ++command2Presses;
        }
        if (press == kBaselinePress) {
            baseline = Measure(app);
            Record("press_100", baseline);
        }
    }
    const Figures last = Measure(app);
    Record("last", last);
    const double seconds = static_cast<double>(GetTickCount64() - started) / 1000.0;
    RecordProperty("command2_presses", std::to_string(command2Presses));
    RecordProperty("seconds", std::to_string(seconds));
    std::printf("soak: %d presses of Get, %d of Command2 in %.1f s\n", kGetPresses, command2Presses, seconds);
    EXPECT_EQ(command2Presses, 2000);

    // Still doing its job after all that.
    EXPECT_EQ(app.Text(IDC_LABEL2), L"LocalIP: 192.168.10.20");
    EXPECT_EQ(app.Text(IDC_LABEL3), L"Plr Stato: Installed");
    EXPECT_EQ(app.Text(IDC_LABEL4), L"MAC Address: 00-1A-2B-3C-4D-5E");
    EXPECT_EQ(app.Text(app.Form()), L"False");
    EXPECT_GT(SendMessageW(list, LB_GETCOUNT, 0, 0), 0);

    EXPECT_LE(last.handles, baseline.handles) << "handles grew";
    EXPECT_LE(last.windows, baseline.windows) << "windows were left behind";
    if (baseline.gui && last.gui) {
        EXPECT_LE(last.gui->gdi, baseline.gui->gdi) << "GDI objects grew";
        EXPECT_LE(last.gui->user, baseline.gui->user) << "USER objects grew";
    } else {
        RecordProperty("gui_objects", "not implemented by this platform");
    }
    EXPECT_LT(last.privateBytes, baseline.privateBytes + kPrivateBytesAllowance)
        << "private bytes grew by " << (last.privateBytes - baseline.privateBytes);

    EXPECT_EQ(app.Close(), std::optional<DWORD>(0));
}

}  // namespace
