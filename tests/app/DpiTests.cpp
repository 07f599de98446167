// The window at 96, 120 and 144 dpi: every control where its twips put it, no text clipped.
#include <gtest/gtest.h>

#include "Form1.h"
#include "RunningApp.h"
#include "Unique.h"

namespace {

RECT RectInParent(HWND child) {
    RECT rect{};
    GetWindowRect(child, &rect);
    MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

void ExpectTableLayout(HWND form, int dpi) {
    RECT client{};
    GetClientRect(form, &client);
    EXPECT_EQ(client.right, TwipsToPixels(kForm1ClientWidthTwips, dpi));
    EXPECT_EQ(client.bottom, TwipsToPixels(kForm1ClientHeightTwips, dpi));
    for (const ControlRow& row : Form1Controls()) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(row.name)));
        HWND child = GetDlgItem(form, row.id);
        ASSERT_NE(child, nullptr);
        const RECT rect = RectInParent(child);
        EXPECT_EQ(rect.left, TwipsToPixels(row.left, dpi));
        EXPECT_EQ(rect.top, TwipsToPixels(row.top, dpi));
        EXPECT_EQ(rect.right - rect.left, TwipsToPixels(row.width, dpi));
        EXPECT_EQ(rect.bottom - rect.top, TwipsToPixels(row.height, dpi));
    }
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

TEST(HighDpi, TheProgramScalesItsTableWithTheSystemDpi) {
    for (DWORD dpi : {96u, 120u, 144u}) {
        SCOPED_TRACE(dpi);
        ScopedLogPixels setting(dpi);
        RunningApp app;
        HWND form = app.WaitForForm();
        ASSERT_NE(form, nullptr);
        ExpectTableLayout(form, static_cast<int>(dpi));
        EXPECT_EQ(app.Close(), std::optional<DWORD>(0));
    }
}

TEST(HighDpi, CaptionsFitTheirControls) {
    ASSERT_TRUE(SUCCEEDED(OleInitialize(nullptr)));
    for (int dpi : {96, 120, 144}) {
        SCOPED_TRACE(dpi);
        std::unique_ptr<Form1> form = Form1::Create(GetModuleHandleW(nullptr), dpi);
        ExpectTableLayout(form->Window(), dpi);
        for (ControlId id : {IDC_LABEL2, IDC_LABEL3, IDC_LABEL4, IDC_LABEL5, IDC_COMMAND1, IDC_COMMAND2}) {
            HWND child = form->Control(id);
            wchar_t text[64] = {};
            const int length = GetWindowTextW(child, text, 64);
            HDC dc = GetDC(child);
            const HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(child, WM_GETFONT, 0, 0)));
            SIZE extent{};
            GetTextExtentPoint32W(dc, text, length, &extent);
            SelectObject(dc, old);
            ReleaseDC(child, dc);
            RECT client{};
            GetClientRect(child, &client);
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
