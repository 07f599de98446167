// The command line as remote tools and people type it: what is taken, and what is refused.
#include <gtest/gtest.h>

#include <vector>

#include "CommandLine.h"

namespace {

CommandLine Parse(std::vector<const wchar_t*> arguments) { return ParseCommandLine(arguments); }

TEST(CommandLine, NamesInAnyCaseValuesAsGiven) {
    const CommandLine line = Parse({L"-CHECK", L"/Json", L"/OUT:C:\\Reports\\PC:1.json", L"/TimeOut:3600"});
    EXPECT_TRUE(line.refused.empty()) << line.refused.c_str();
    EXPECT_TRUE(line.check);
    EXPECT_TRUE(line.json);
    EXPECT_EQ(line.out, std::wstring(L"C:\\Reports\\PC:1.json"));  // the first colon ends the name
    EXPECT_EQ(line.timeoutSeconds, 3600u);
    EXPECT_EQ(Parse({L"/check"}).timeoutSeconds, 30u);
    EXPECT_EQ(Parse({L"/timeout:1"}).timeoutSeconds, 1u);
    EXPECT_EQ(Parse({L"/timeout:000030"}).timeoutSeconds, 30u);
    EXPECT_FALSE(Parse({}).check);
}

TEST(CommandLine, RefusedButStillKnownToBeACheck) {
    for (const std::vector<const wchar_t*>& bad :
         std::vector<std::vector<const wchar_t*>>{{L"/check", L"/timeout:0"},
                                                  {L"/check", L"/timeout:3601"},
                                                  {L"/check", L"/timeout:-5"},
                                                  {L"/check", L"/timeout: 5"},
                                                  {L"/check", L"/timeout:00000003601"},
                                                  {L"/check", L"/timeout"},
                                                  {L"/check", L"/out:"},
                                                  {L"/check", L"/out:a", L"/out:b"},
                                                  {L"/check", L"/checked"},
                                                  {L"/check", L"/json:yes"},
                                                  {L"/check", L"check"},
                                                  {L"/check", L"/"},
                                                  {L"/check", L""}}) {
        const CommandLine line = Parse(bad);
        EXPECT_FALSE(line.refused.empty()) << testing::PrintToString(std::vector<std::wstring>(bad.begin(), bad.end()));
        EXPECT_TRUE(line.check);
    }
}

}  // namespace
