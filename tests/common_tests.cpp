#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>

#include "GrowingBuffer.h"
#include "NumberedError.h"
#include "Text.h"
#include "Unique.h"
#include "VersionRecord.h"
#include "WindowText.h"

TEST(Text, AnsiRoundTripKeepsTheSystemCodePage) {
    const std::wstring text = L"Quintell\\Quintell.exe";
    EXPECT_EQ(FromAnsi(ToAnsi(text)), text);
    EXPECT_EQ(ToAnsi(L""), "");
    EXPECT_EQ(FromAnsi(std::string_view("a\0b", 3)), std::wstring(L"a\0b", 3));
    // Longer than the first guess: two bytes a character in UTF-8.
    std::string utf8;
    for (int i = 0; i < 1000; ++i) utf8 += "\xC3\xA9";
    EXPECT_EQ(ToUtf8(std::wstring(1000, L'\u00E9')), utf8);
    EXPECT_EQ(FromAnsi(std::string(5000, 'a')), std::wstring(5000, L'a'));
}

TEST(GrowingBuffer, GrowsToWhatTheCallAsksForWithinBounds) {
    int calls = 0;
    const auto needs1000 = [&](wchar_t* buffer, size_t capacity) -> std::optional<size_t> {
        ++calls;
        if (capacity >= 1000) std::fill_n(buffer, 1000, L'x');
        return 1000;
    };
    EXPECT_EQ(FillGrowing<wchar_t>(needs1000, 10, 4096), std::wstring(1000, L'x'));
    EXPECT_EQ(calls, 2);
    EXPECT_FALSE(FillGrowing<wchar_t>(needs1000, 10, 999));
    calls = 0;
    const auto greedy = [&](wchar_t*, size_t capacity) -> std::optional<size_t> { return ++calls, capacity + 1; };
    EXPECT_FALSE(FillGrowing<wchar_t>(greedy, 1, 1u << 30));
    EXPECT_LE(calls, 16);
    EXPECT_FALSE(FillGrowing<char>([](char*, size_t) { return std::optional<size_t>(); }, 8, 8));

    const std::wstring self = ModulePath(nullptr).value_or(L"");
    EXPECT_TRUE(self.ends_with(L"\\common_tests.exe")) << ToUtf8(self);
}

// The stand-in's record names its company in an Italian table only, and a copy of it is
// damaged to claim a company name far longer than the record.
TEST(VersionRecord, StringsComeFromTheRecordsOwnTablesAndStayInsideIt) {
    const std::wstring self = ModulePath(nullptr).value_or(L"");
    const std::wstring standIn = self.substr(0, self.find_last_of(L'\\') + 1) + L"VbFunzioniStandIn.dll";
    const VersionRecord record(standIn.c_str());
    ASSERT_FALSE(record.empty());
    EXPECT_EQ(record.String(L"CompanyName"), L"Brevanti");
    EXPECT_EQ(record.FixedVersion(), L"1.0.0.0");
    EXPECT_EQ(record.String(L"NoSuchName"), L"");

    std::ifstream in(standIn.c_str(), std::ios::binary);
    std::string bytes{std::istreambuf_iterator<char>(in), {}};
    const std::string key("C\0o\0m\0p\0a\0n\0y\0N\0a\0m\0e\0\0\0", 24);
    const size_t at = bytes.find(key);
    ASSERT_TRUE(at != std::string::npos && at >= 4);
    bytes[at - 4] = '\xFF';  // its value's length, in characters
    bytes[at - 3] = '\x7F';
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, temp);
    const std::wstring damaged =
        std::wstring(temp) + L"talvo-version-" + std::to_wstring(GetCurrentProcessId()) + L".dll";
    ASSERT_TRUE(std::ofstream(damaged.c_str(), std::ios::binary).write(bytes.data(), std::streamsize(bytes.size())));
    {
        const VersionRecord broken(damaged.c_str());
        UINT length = 1;
        EXPECT_EQ(broken.Value(L"\\StringFileInfo\\041004B0\\CompanyName", length), nullptr);
        EXPECT_EQ(length, 0u);
        EXPECT_EQ(broken.String(L"CompanyName"), L"");
        EXPECT_EQ(broken.String(L"FileVersion"), L"1.00");  // the rest of the record still reads
    }
    DeleteFileW(damaged.c_str());
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
