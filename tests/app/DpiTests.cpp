// The window at 96, 120 and 144 dpi: the client area and the controls where their twips put
// them, and no caption clipped.
#include <gtest/gtest.h>

#include "Form1.h"
#include "RunningApp.h"
#include "Unique.h"
#include "WindowText.h"

namespace {

struct Box {
    int left, top, width, height;
};

// Worked out by hand from the twips: twips * dpi / 1440, a half rounded up (as MulDiv does).
// The twips: client 11910 x 3000; VbFunzioni1 360,240 5175x1095; Label2 360,600 11175x255;
// Command1 360,2400 735x495; List1 480,3600 5775x3960; Command2 600,7800 975x255.
struct Layout {
    int dpi;
    int clientWidth, clientHeight;
    Box vbFunzioni1, label2, command1, list1, command2;
};
constexpr Layout kLayouts[] = {
    // 1440 / 96 = 15 twips a pixel: every figure divides evenly.
    {96, 794, 200, {24, 16, 345, 73}, {24, 40, 745, 17}, {24, 160, 49, 33}, {32, 240, 385, 264}, {40, 520, 65, 17}},
    // 12 twips a pixel: 992.5 -> 993; the quarters (431.25, 931.25, 61.25, 81.25 ...) go down.
    {120, 993, 250, {30, 20, 431, 91}, {30, 50, 931, 21}, {30, 200, 61, 41}, {40, 300, 481, 330}, {50, 650, 81, 21}},
    // 10 twips a pixel: every half goes up (517.5 -> 518, 109.5 -> 110, 25.5 -> 26 ...).
    {144, 1191, 300, {36, 24, 518, 110}, {36, 60, 1118, 26}, {36, 240, 74, 50}, {48, 360, 578, 396}, {60, 780, 98, 26}},
};

RECT RectInParent(HWND child) {
    RECT rect{};
    GetWindowRect(child, &rect);
    MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

void ExpectBox(HWND form, ControlId id, const Box& box) {
    SCOPED_TRACE(testing::Message() << "control " << id);
    HWND child = GetDlgItem(form, id);
    ASSERT_NE(child, nullptr);
    const RECT rect = RectInParent(child);
    EXPECT_EQ(rect.left, box.left);
    EXPECT_EQ(rect.top, box.top);
    EXPECT_EQ(rect.right - rect.left, box.width);
    EXPECT_EQ(rect.bottom - rect.top, box.height);
}

void ExpectLayout(HWND form, const Layout& layout) {
    RECT client{};
    GetClientRect(form, &client);
    EXPECT_EQ(client.right, layout.clientWidth);
    EXPECT_EQ(client.bottom, layout.clientHeight);
    ExpectBox(form, IDC_VBFUNZIONI1, layout.vbFunzioni1);
    ExpectBox(form, IDC_LABEL2, layout.label2);
    ExpectBox(form, IDC_COMMAND1, layout.command1);
    ExpectBox(form, IDC_LIST1, layout.list1);
    ExpectBox(form, IDC_COMMAND2, layout.command2);
}

// The system DPI comes from the user's settings when a process starts.
class ScopedLogPixels {
public:
    explicit ScopedLogPixels(DWORD dpi) {
        RegCreateKeyExW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", 0, nullptr, 0, KEY_SET_VALUE, nullptr, key_.put(),
                        nullptr);
        RegSetValueExW(key_.get(), L"LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dpi), sizeof(dpi));
    }
    ~ScopedLogPixels() { RegDeleteValueW(key_.get(), L"LogPixels"); }

private:
    unique_hkey key_;
};

TEST(HighDpi, TheProgramScalesItsLayoutWithTheSystemDpi) {
    for (const Layout& layout : kLayouts) {
        SCOPED_TRACE(layout.dpi);
        ScopedLogPixels setting(static_cast<DWORD>(layout.dpi));
        RunningApp app;
        HWND form = app.WaitForForm();
        ASSERT_NE(form, nullptr);
        ExpectLayout(form, layout);
        EXPECT_EQ(app.Close(), std::optional<DWORD>(0));
    }
}

TEST(HighDpi, CaptionsFitTheirControls) {
    ASSERT_TRUE(SUCCEEDED(OleInitialize(nullptr)));
    for (const Layout& layout : kLayouts) {
        SCOPED_TRACE(layout.dpi);
        std::unique_ptr<Form1> form = Form1::Create(GetModuleHandleW(nullptr), layout.dpi);
        ExpectLayout(form->Window(), layout);
        for (ControlId id : {IDC_LABEL2, IDC_LABEL3, IDC_LABEL4, IDC_LABEL5, IDC_COMMAND1, IDC_COMMAND2}) {
            HWND child = form->Control(id);
            const std::wstring text = WindowText(child);
            HDC dc = GetDC(child);
            const HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(child, WM_GETFONT, 0, 0)));
            SIZE extent{};
            GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
            SelectObject(dc, old);
            ReleaseDC(child, dc);
            RECT client{};
            GetClientRect(child, &client);
            EXPECT_FALSE(text.empty()) << id;
            EXPECT_LE(extent.cx, client.right) << id;
            EXPECT_LE(extent.cy, client.bottom) << id;
        }
        form.reset();
    }
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
    OleUninitialize();
}

}  // namespace
