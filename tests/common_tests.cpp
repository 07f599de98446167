#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "NumberedError.h"
#include "Text.h"
#include "Unique.h"
#include "WindowText.h"

TEST(Text, AnsiRoundTripKeepsTheSystemCodePage) {
    const std::wstring text = L"Quintell\\Quintell.exe";
    EXPECT_EQ(FromAnsi(ToAnsi(text)), text);
    EXPECT_EQ(ToAnsi(L""), "");
    EXPECT_EQ(FromAnsi(std::string_view("a\0b", 3)), std::wstring(L"a\0b", 3));
}

TEST(NumberedError, ControlFacilityKeepsItsNumber) {
    const NumberedError e = ErrorFromHresult(MAKE_HRESULT(1, FACILITY_CONTROL, 94), L"src");
    EXPECT_EQ(e.Number(), 94);
    EXPECT_EQ(e.Source(), L"src");
    const NumberedError other = ErrorFromHresult(E_OUTOFMEMORY, L"x");
    EXPECT_EQ(other.Number(), static_cast<long>(E_OUTOFMEMORY));
    EXPECT_FALSE(other.Description().empty());
}

TEST(Unique, PutReleasesWhatWasHeld) {
    unique_handle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(event);
    HANDLE first = event.get();
    *event.put() = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD flags = 0;
    EXPECT_FALSE(GetHandleInformation(first, &flags));
}

namespace {

// A text that grows once, right after its length was first asked: as a label that another
// thread writes to between the two calls.
std::wstring g_text;
bool g_grown = false;

LRESULT CALLBACK GrowingText(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_GETTEXTLENGTH) {
        const auto length = static_cast<LRESULT>(g_text.size());
        if (!g_grown) g_text += L" and then some more";
        g_grown = true;
        return length;
    }
    if (message == WM_GETTEXT) {
        if (wParam == 0) return 0;
        const size_t copied = std::min(g_text.size(), static_cast<size_t>(wParam) - 1);
        auto* out = reinterpret_cast<wchar_t*>(lParam);
        std::copy_n(g_text.data(), copied, out);
        out[copied] = L'\0';
        return static_cast<LRESULT>(copied);
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

TEST(WindowText, ReadsTheWholeTextEvenOneThatGrewBeforeItWasRead) {
    const unique_hwnd label(
        CreateWindowW(L"STATIC", L"Label2", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr));
    ASSERT_TRUE(label);
    EXPECT_EQ(WindowText(label.get()), L"Label2");
    const std::wstring path = L"FullPathClientInstalled: C:\\" + std::wstring(4000, L'x');
    SetWindowTextW(label.get(), path.c_str());
    EXPECT_EQ(WindowText(label.get()), path);
    SetWindowTextW(label.get(), L"");
    EXPECT_EQ(WindowText(label.get()), L"");
    EXPECT_EQ(WindowText(nullptr), L"");

    g_text = L"LocalIP: 10.0.0.7";
    SetWindowLongPtrW(label.get(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&GrowingText));
    EXPECT_EQ(WindowText(label.get()), L"LocalIP: 10.0.0.7 and then some more");
}
