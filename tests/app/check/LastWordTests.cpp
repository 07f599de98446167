// The report of last resort: it goes out when the full one does not, whole and valid JSON that
// says exactly what it was given, whatever its texts hold.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <string>

#include "LastWord.h"
#include "Text.h"
#include "Unique.h"
#include "Watchdog.h"

namespace {

LONG volatile g_endedWith = -1;

TEST(LastWord, GoesOutAfterTheGraceAndSaysWhatItWasGiven) {
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, nullptr, 1 << 16));
    unique_handle reader(readEnd), writer(writeEnd);
    watchdog::SetEnding([](UINT code) { InterlockedExchange(&g_endedWith, static_cast<LONG>(code)); });
    Findings stamped;
    StampFindings(stamped);
    lastword::Prepare(writer.get(), true, stamped);

    const std::wstring source = L"Odd.\"Prog\\Id\"";
    const std::wstring description = L"quote \" backslash \\ line\nbreak\ttab \x7F del \u00E9 \U0001F600 \u2603";
    lastword::Arm({L"timeout", static_cast<long>(0x800705B4), source, description, DISPID(0x60030001), 4});
    lastword::Arm({L"crash", 1, L"second", L"second", std::nullopt, 3});  // the first ending counts
    for (int waited = 0; waited < 15000 && g_endedWith < 0; waited += 50) Sleep(50);
    EXPECT_EQ(g_endedWith, 4);
    EXPECT_FALSE(lastword::Claim()) << "the full report, later still, finds the output taken";

    writer.reset();
    std::string bytes;
    char chunk[4096];
    DWORD read = 0;
    while (ReadFile(reader.get(), chunk, sizeof chunk, &read, nullptr) && read > 0) bytes.append(chunk, read);
    EXPECT_TRUE(std::all_of(bytes.begin(), bytes.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }));
    const auto report = nlohmann::json::parse(bytes, nullptr, false);
    ASSERT_FALSE(report.is_discarded()) << bytes;
    EXPECT_EQ(report["error"]["kind"], "timeout");
    EXPECT_EQ(report["error"]["number"], static_cast<long>(0x800705B4));
    EXPECT_EQ(report["error"]["source"], ToUtf8(source));
    EXPECT_EQ(report["error"]["description"], ToUtf8(description));
    EXPECT_EQ(report["error"]["member"], "0x60030001");
    EXPECT_EQ(report["exitCode"], 4);
    EXPECT_TRUE(report["time"].is_string());
    EXPECT_TRUE(report["machine"].is_null());
}

}  // namespace
