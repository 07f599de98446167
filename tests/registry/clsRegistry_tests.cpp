// clsRegistry against the real registry of the test prefix, with a spy between the reader
// and the registry functions.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "NumberedError.h"
#include "support/RegistryScratchKey.h"
#include "Text.h"
#include "clsRegistry.h"

namespace {

struct Spy {
    int openKeys = 0;   // opened by the reader and not closed yet
    REGSAM access = 0;  // of the last open
    HKEY lastOpened = nullptr;
    DWORD dataCapacity = 0;                // the largest buffer the reader offered
    std::function<void()> betweenQueries;  // runs once, after the next size query
    // When set, every query answers this REG_SZ data, as a platform that reports it raw.
    std::optional<std::string> rawText;
};
Spy spy;

LONG WINAPI SpyOpen(HKEY parent, LPCSTR name, DWORD options, REGSAM access, PHKEY key) {
    spy.access = access;
    const LONG result = RegOpenKeyExA(parent, name, options, access, key);
    if (result == ERROR_SUCCESS) {
        ++spy.openKeys;
        spy.lastOpened = *key;
    }
    return result;
}
LONG WINAPI SpyQuery(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size) {
    if (data != nullptr && size != nullptr) spy.dataCapacity = std::max(spy.dataCapacity, *size);
    if (spy.rawText) {
        const std::string& text = *spy.rawText;
        const DWORD capacity = *size;
        *type = REG_SZ;
        *size = static_cast<DWORD>(text.size());
        if (data == nullptr) return ERROR_SUCCESS;
        if (capacity < text.size()) return ERROR_MORE_DATA;
        std::copy(text.begin(), text.end(), data);
        return ERROR_SUCCESS;
    }
    const LONG result = RegQueryValueExA(key, name, reserved, type, data, size);
    if (data == nullptr && spy.betweenQueries) std::exchange(spy.betweenQueries, nullptr)();
    return result;
}
LONG WINAPI SpyClose(HKEY key) {
    const LONG result = RegCloseKey(key);
    if (result == ERROR_SUCCESS) --spy.openKeys;
    return result;
}
const RegistryApi SpyApi{&SpyOpen, &SpyQuery, &SpyClose};

class ReaderTest : public testing::Test {
protected:
    void SetUp() override { spy = Spy{}; }
    void TearDown() override { EXPECT_EQ(spy.openKeys, 0) << "a key handle outlived its reader"; }

    void ExpectNotInitialized(const std::function<void()>& call) {
        try {
            call();
            ADD_FAILURE() << "no error 1777";
        } catch (const NumberedError& e) {
            EXPECT_EQ(e.Number(), 1777);
            EXPECT_EQ(e.Source(), L"Class SvRegistry not Initialized.");
            EXPECT_EQ(e.Description(), GenericErrorDescription());
        }
    }

    RegistryScratchKey scratch;
};

TEST_F(ReaderTest, StateMachine) {
    scratch.SetText(L"A", L"v", L"in A");
    scratch.SetText(L"B", L"v", L"in B");
    clsRegistry reader(SpyApi);

    // Fresh, and still uninitialised after a failed open.
    ExpectNotInitialized([&] { reader.GetStringValue(L"v", L"d"); });
    ExpectNotInitialized([&] { reader.GetLong(L"v", 7); });
    EXPECT_FALSE(reader.CloseKey());
    EXPECT_FALSE(reader.OpenKey(scratch.name() + L"\\Missing", HKEY_CURRENT_USER));
    ExpectNotInitialized([&] { reader.GetStringValue(L"v", L"d"); });

    ASSERT_TRUE(reader.OpenKey(scratch.name() + L"\\A", HKEY_CURRENT_USER));
    EXPECT_EQ(spy.access, static_cast<REGSAM>(0x19));
    EXPECT_EQ(reader.GetStringValue(L"v", L"d"), L"in A");
    EXPECT_TRUE(reader.CloseKey());
    EXPECT_FALSE(reader.CloseKey());
    EXPECT_EQ(spy.openKeys, 0);

    // Closed after use: defaults, no error.
    EXPECT_EQ(reader.GetStringValue(L"v", L"d"), L"d");
    EXPECT_EQ(reader.GetLong(L"v", 7), 7);

    // Reopening closes the key held before.
    ASSERT_TRUE(reader.OpenKey(scratch.name() + L"\\A", HKEY_CURRENT_USER));
    ASSERT_TRUE(reader.OpenKey(scratch.name() + L"\\B", HKEY_CURRENT_USER));
    EXPECT_EQ(spy.openKeys, 1);
    EXPECT_EQ(reader.GetStringValue(L"v", L"d"), L"in B");

    // A failed open has still closed the key held before.
    EXPECT_FALSE(reader.OpenKey(scratch.name() + L"\\Missing", HKEY_CURRENT_USER));
    EXPECT_EQ(spy.openKeys, 0);
    EXPECT_FALSE(reader.CloseKey());
    EXPECT_EQ(reader.GetStringValue(L"v", L"d"), L"d");
}

TEST_F(ReaderTest, NoKeyHandleOutlivesTheReader) {
    scratch.SetText(L"A", L"v", L"x");
    {
        clsRegistry reader(SpyApi);
        ASSERT_TRUE(reader.OpenKey(scratch.name() + L"\\A", HKEY_CURRENT_USER));
        ASSERT_TRUE(reader.OpenKey(scratch.name() + L"\\A", HKEY_CURRENT_USER));
        ASSERT_FALSE(reader.OpenKey(scratch.name() + L"\\Missing", HKEY_CURRENT_USER));
        ASSERT_TRUE(reader.OpenKey(scratch.name() + L"\\A", HKEY_CURRENT_USER));
        EXPECT_EQ(spy.openKeys, 1);
    }
    EXPECT_EQ(spy.openKeys, 0);
    // The registry agrees: the handle the reader held at its end is gone.
    EXPECT_EQ(RegQueryValueExA(spy.lastOpened, "v", nullptr, nullptr, nullptr, nullptr), ERROR_INVALID_HANDLE);
}

struct TextCase {
    const char* what;
    DWORD type;
    std::wstring data;  // raw UTF-16 as stored, NULs included
    std::wstring expected;
};

TEST_F(ReaderTest, StringValuesOfEveryTypeAndSize) {
    const std::wstring accented = L"Citt\u00e0 \u00e9t\u00e9\\";
    const std::vector<TextCase> cases = {
        {"with NUL", REG_SZ, std::wstring(L"C:\\Brevanti\\\0", 13), L"C:\\Brevanti\\"},
        {"without NUL", REG_SZ, L"C:\\Brevanti\\", L"C:\\Brevanti\\"},
        {"single NUL", REG_SZ, std::wstring(1, L'\0'), L""},
        {"no data", REG_SZ, L"", L"<default>"},
        {"embedded NUL", REG_SZ, std::wstring(L"ab\0cd\0", 6), L"ab"},
        {"code page", REG_SZ, accented + L'\0', FromAnsi(ToAnsi(accented))},
        {"long", REG_SZ, std::wstring(5000, L'x') + L'\0', std::wstring(5000, L'x')},
        {"expandable", REG_EXPAND_SZ, std::wstring(L"%TEMP%\\\0", 8), L"<default>"},
        {"multi", REG_MULTI_SZ, std::wstring(L"a\0\0", 3), L"<default>"},
        {"binary", REG_BINARY, L"ab", L"<default>"},
        {"number", REG_DWORD, std::wstring(2, L'\x31'), L"<default>"},
    };
    for (const TextCase& c : cases)
        scratch.Set(L"", FromAnsi(c.what), c.type, c.data.data(), static_cast<DWORD>(c.data.size() * sizeof(wchar_t)));

    clsRegistry reader(SpyApi);
    ASSERT_TRUE(reader.OpenKey(scratch.name(), HKEY_CURRENT_USER));
    for (const TextCase& c : cases)
        EXPECT_EQ(reader.GetStringValue(FromAnsi(c.what), L"<default>"), c.expected) << c.what;
    EXPECT_EQ(reader.GetStringValue(L"missing", L"<default>"), L"<default>");

    // Data as the platform may deliver it: a NUL-less text is taken whole.
    for (const auto& [raw, expected] : std::vector<std::pair<std::string, std::wstring>>{
             {"C:\\Brevanti\\", L"C:\\Brevanti\\"},
             {std::string("C:\\B\\\0", 6), L"C:\\B\\"},
             {std::string(1, '\0'), L""},
             {"", L"<default>"},
         }) {
        spy.rawText = raw;
        EXPECT_EQ(reader.GetStringValue(L"raw", L"<default>"), expected) << raw;
    }
    spy.rawText.reset();

    // Names go through the code page too.
    scratch.SetText(L"", accented, L"found");
    EXPECT_EQ(reader.GetStringValue(FromAnsi(ToAnsi(accented)), L""), L"found");
}

TEST_F(ReaderTest, NumberValuesOfEveryTypeAndSize) {
    const DWORD four = 0xFFFFFFFB;  // -5
    const unsigned char two[] = {0x34, 0x12};
    const unsigned char eight[] = {1, 2, 3, 4, 5, 6, 7, 8};
    scratch.Set(L"", L"four", REG_DWORD, &four, 4);
    scratch.Set(L"", L"two", REG_DWORD, two, 2);
    scratch.Set(L"", L"none", REG_DWORD, nullptr, 0);
    scratch.Set(L"", L"eight", REG_DWORD, eight, 8);
    scratch.Set(L"", L"qword", REG_QWORD, eight, 8);
    scratch.Set(L"", L"big endian", REG_DWORD_BIG_ENDIAN, &four, 4);
    scratch.SetText(L"", L"text", L"5");

    clsRegistry reader(SpyApi);
    ASSERT_TRUE(reader.OpenKey(scratch.name(), HKEY_CURRENT_USER));
    EXPECT_EQ(reader.GetLong(L"four", 99), -5);
    EXPECT_EQ(reader.GetLong(L"two", 99), 0x1234);
    EXPECT_EQ(reader.GetLong(L"none", 99), 0);
    EXPECT_EQ(reader.GetLong(L"eight", 99), 99);
    EXPECT_LE(spy.dataCapacity, 4u) << "offered more than the 4-byte buffer";
    EXPECT_EQ(reader.GetLong(L"qword", 99), 99);
    EXPECT_EQ(reader.GetLong(L"big endian", 99), 99);
    EXPECT_EQ(reader.GetLong(L"text", 99), 99);
    EXPECT_EQ(reader.GetLong(L"missing", 99), 99);
}

TEST_F(ReaderTest, ValueChangedBetweenTheTwoQueries) {
    clsRegistry reader(SpyApi);
    ASSERT_TRUE(reader.OpenKey(scratch.name(), HKEY_CURRENT_USER));

    scratch.SetText(L"", L"v", L"C:\\Program Files\\Brevanti\\");
    spy.betweenQueries = [&] { scratch.SetText(L"", L"v", L"C:\\B\\"); };
    EXPECT_EQ(reader.GetStringValue(L"v", L"d"), L"C:\\B\\");

    spy.betweenQueries = [&] { scratch.SetText(L"", L"v", L"C:\\Program Files (x86)\\Brevanti\\"); };
    EXPECT_EQ(reader.GetStringValue(L"v", L"d"), L"d");

    const DWORD four = 0x01020304;
    const unsigned char eight[] = {1, 2, 3, 4, 5, 6, 7, 8};
    scratch.Set(L"", L"n", REG_DWORD, &four, 4);
    spy.betweenQueries = [&] { scratch.Set(L"", L"n", REG_DWORD, eight, 8); };
    EXPECT_EQ(reader.GetLong(L"n", 99), 99);
    scratch.Set(L"", L"n", REG_DWORD, &four, 4);
    spy.betweenQueries = [&] { scratch.Set(L"", L"n", REG_DWORD, eight, 2); };
    EXPECT_EQ(reader.GetLong(L"n", 99), 0x0201);
}

}  // namespace
