#include <gtest/gtest.h>

#include "NumberedError.h"
#include "Text.h"
#include "Unique.h"

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
