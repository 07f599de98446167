#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "ProcessFakeSnapshot.h"
#include "modTask.h"

using namespace process_test;

TEST(ModTask, NameIsTheTextBeforeTheFirstNul) {
    EXPECT_EQ(modTask::ExeNameFromField(FieldOf(std::string_view("\0abc.exe", 8)).chars), L"");
    EXPECT_EQ(modTask::ExeNameFromField(FieldOf(std::string_view("svchost.exe\0old.exe", 19)).chars), L"svchost.exe");

    // NUL in the last place: a name of 259 characters.
    std::string longest(kExeFileChars - 1, 'n');
    longest += '\0';
    EXPECT_EQ(modTask::ExeNameFromField(FieldOf(longest).chars), std::wstring(kExeFileChars - 1, L'n'));

    // No NUL anywhere: no name, and nothing read past the field.
    struct {
        Field field;
        CHAR after[8];
    } unterminated{FieldOf("full.exe"), {'t', 'a', 'i', 'l', 0}};
    EXPECT_EQ(modTask::ExeNameFromField(unterminated.field.chars), L"");

    // Bytes above 0x7F are read in the system code page.
    const std::string ansi = "caf\xE9_\xC4.exe";
    std::wstring expected;
    if (GetACP() == 1252) {
        expected = L"caf\u00E9_\u00C4.exe";
    } else {
        wchar_t wide[64] = {};
        const int n = MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), wide, 64);
        expected.assign(wide, static_cast<size_t>(std::max(n, 0)));
    }
    EXPECT_EQ(modTask::ExeNameFromField(FieldOf(ansi + '\0').chars), expected);
}

TEST(ModTask, WalkListsEveryEntryAndClosesTheSnapshotOnEveryPath) {
    {
        FakeSnapshot fake;
        fake.entries = {FieldOf(std::string_view("[System Process]\0", 17)),
                        FieldOf(std::string_view("svchost.exe\0", 12)), FieldOf(std::string_view("svchost.exe\0", 12)),
                        FieldOf("no-terminator"), FieldOf(std::string_view("Last.EXE\0", 9))};
        EXPECT_EQ(fake.Walk(),
                  (std::vector<std::wstring>{L"[System Process]", L"svchost.exe", L"svchost.exe", L"", L"Last.EXE"}));
        EXPECT_EQ(fake.createFlags, 2u);
        EXPECT_EQ(fake.createPid, 0u);
        ASSERT_FALSE(fake.sizesSeen.empty());
        EXPECT_EQ(fake.sizesSeen.front(), 296u);
        for (ProcessEntry32* record : fake.recordsSeen) EXPECT_EQ(record, fake.recordsSeen.front());
        EXPECT_EQ(fake.closes, 1);
        EXPECT_FALSE(fake.wrongHandle);
    }
    {
        SCOPED_TRACE("no snapshot");
        for (HANDLE none : {INVALID_HANDLE_VALUE, HANDLE{}}) {
            FakeSnapshot fake;
            fake.handle = none;
            fake.entries = {FieldOf(std::string_view("a.exe\0", 6))};
            EXPECT_TRUE(fake.Walk().empty());
            EXPECT_TRUE(fake.sizesSeen.empty());
            EXPECT_EQ(fake.closes, 0);
        }
    }
    {
        SCOPED_TRACE("Process32First fails");
        FakeSnapshot fake;
        fake.firstFails = true;
        fake.entries = {FieldOf(std::string_view("a.exe\0", 6))};
        EXPECT_TRUE(fake.Walk().empty());
        EXPECT_EQ(fake.closes, 1);
        EXPECT_FALSE(fake.wrongHandle);
    }
    {
        SCOPED_TRACE("the receiver throws");
        FakeSnapshot fake;
        fake.entries = {FieldOf(std::string_view("a.exe\0", 6)), FieldOf(std::string_view("b.exe\0", 6)),
                        FieldOf(std::string_view("c.exe\0", 6))};
        std::vector<std::wstring> names;
        EXPECT_THROW(modTask::WalkProcessNames(
                         [&](const std::wstring& name) {
                             names.push_back(name);
                             if (names.size() == 2) throw std::runtime_error("list full");
                         },
                         fake.api),
                     std::runtime_error);
        EXPECT_EQ(names, (std::vector<std::wstring>{L"a.exe", L"b.exe"}));
        EXPECT_EQ(fake.nextPosition, 2u) << "the walk went on after the error";
        EXPECT_EQ(fake.closes, 1);
    }
}
