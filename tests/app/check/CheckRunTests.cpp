// The unattended check, end to end: the real program started with /check as a remote tool
// would start it, the stand-in scripted into each outcome. No window may ever show.
#include <gtest/gtest.h>
#include <iphlpapi.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "RunningApp.h"
#include "StandInScript.h"
#include "Text.h"

namespace {

using nlohmann::json;

json Parsed(const std::string& text) {
    json parsed = json::parse(text, nullptr, false);
    EXPECT_FALSE(parsed.is_discarded()) << text;
    return parsed;
}

// An IPv4 address and a MAC of this machine, as the older adapter list gives them: a second
// source beside the one the program reads.
struct OwnAddress {
    std::string ip, mac;
};
OwnAddress AddressOfThisMachine() {
    ULONG size = 0;
    GetAdaptersInfo(nullptr, &size);
    std::vector<unsigned char> buffer(size);
    auto* info = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data());
    if (size == 0 || GetAdaptersInfo(info, &size) != ERROR_SUCCESS) return {};
    for (; info != nullptr; info = info->Next) {
        if (info->AddressLength != 6 || std::string(info->IpAddressList.IpAddress.String) == "0.0.0.0") continue;
        char mac[18];
        std::snprintf(mac, sizeof(mac), "%02x:%02x:%02x:%02x:%02x:%02x", info->Address[0], info->Address[1],
                      info->Address[2], info->Address[3], info->Address[4], info->Address[5]);
        return {info->IpAddressList.IpAddress.String, mac};
    }
    return {};
}

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::wstring TempFile(const wchar_t* name) {
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    return std::wstring(folder) + name;
}

std::string FileText(const std::wstring& path) {
    std::ifstream file(path.c_str(), std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

TEST(Check, AWholeRunWritesEveryFactAsJsonToTheFileOrTheOutputAndShowsNothing) {
    const OwnAddress own = AddressOfThisMachine();
    ASSERT_FALSE(own.ip.empty()) << "the machine has no IPv4 address to compare with";
    // The control's LocalIP is one of this machine's; its MAC, with other separators and case, is too.
    const auto ip = ScriptAnswers(0x60030001, L"str:" + Wide(own.ip));
    const auto mac = ScriptAnswers(0x60030002, L"str:" + Wide(own.mac));
    const std::wstring path = TempFile(L"talvo check \u00e9t\u00e9.json");
    DeleteFileW(path.c_str());

    const FinishedRun toFile = RunToEnd(L"/check /json \"/out:" + path + L"\"");
    EXPECT_EQ(toFile.exitCode, std::optional<DWORD>(0));
    EXPECT_FALSE(toFile.windowShown);
    EXPECT_EQ(toFile.output, "");
    const std::string written = FileText(path);
    DeleteFileW(path.c_str());
    for (const char c : written) ASSERT_LT(static_cast<unsigned char>(c), 0x80) << "ASCII only";
    const json report = Parsed(written);
    testing::Test::RecordProperty("Report", written);

    // Every field, in its place, none left out.
    std::vector<std::string> fields;
    const auto inOrder = nlohmann::ordered_json::parse(written);
    for (const auto& [name, value] : inOrder.items()) fields.push_back(name);
    EXPECT_EQ(fields, (std::vector<std::string>{"program", "time", "machine", "control", "calls", "labels", "caption",
                                                "checks", "processes", "error", "exitCode"}));
    EXPECT_EQ(report["program"]["name"], "Test OCX TALVO");
    EXPECT_TRUE(std::regex_match(report["time"].get<std::string>(),
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d)")));
    EXPECT_TRUE(report["machine"]["name"].is_string());
    EXPECT_EQ(report["control"]["progId"], "TALVO_VB6.VbFunzioni");
    EXPECT_EQ(report["control"]["company"], "Brevanti");
    EXPECT_EQ(report["control"]["created"], true);
    EXPECT_TRUE(report["control"]["createMs"].is_number_integer());
    ASSERT_EQ(report["calls"].size(), 4u) << written;
    const char* members[] = {"0x60030001", "0x60030005", "0x60030002", "0x60030002"};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(report["calls"][i]["member"], members[i]);
        EXPECT_TRUE(report["calls"][i]["answer"].is_string());
    }
    EXPECT_EQ(report["calls"][0]["answer"], own.ip);
    EXPECT_EQ(report["labels"]["Label2"], "LocalIP: " + own.ip);
    EXPECT_EQ(report["labels"]["Label4"], "MAC Address: " + own.mac);
    EXPECT_EQ(report["caption"], "False");
    EXPECT_EQ(report["error"], nullptr);
    EXPECT_EQ(report["exitCode"], 0);
    // The machine's adapter that holds the address, by its name, for both answers.
    std::string holder;
    for (const json& adapter : report["machine"]["adapters"])
        for (const json& address : adapter["ipv4"])
            if (address == own.ip) holder = adapter["name"];
    EXPECT_FALSE(holder.empty());
    EXPECT_EQ(report["checks"]["localIpAdapter"], holder);
    EXPECT_EQ(report["checks"]["macAdapter"], holder);
    const auto& processes = report["processes"];
    EXPECT_NE(std::find(processes.begin(), processes.end(), "TEST OCX TALVO.EXE"), processes.end());

    // The same on the standard output, the names written as anyone types them.
    const FinishedRun toOutput = RunToEnd(L"-CHECK /Json");
    EXPECT_EQ(toOutput.exitCode, std::optional<DWORD>(0));
    EXPECT_FALSE(toOutput.windowShown);
    const json piped = Parsed(toOutput.output);
    EXPECT_EQ(piped["calls"], report["calls"]);
    EXPECT_EQ(piped["checks"], report["checks"]);
}

TEST(Check, ThePlainTextSaysInWordsWhetherTheAnswersAreThisMachines) {
    const auto ip = ScriptAnswers(0x60030001, L"str:10.255.255.254");
    const auto mac = ScriptAnswers(0x60030002, L"str:02-FC-00-00-00-99");
    const FinishedRun run = RunToEnd(L"/check");
    EXPECT_EQ(run.exitCode, std::optional<DWORD>(0));
    EXPECT_FALSE(run.windowShown);
    testing::Test::RecordProperty("Report", run.output);
    for (const char* line :
         {"Label2: LocalIP: 10.255.255.254\r\n", "LocalIP 10.255.255.254: not an address of this machine\r\n",
          "MAC 02-FC-00-00-00-99: no adapter of this machine\r\n", "Process: TEST OCX TALVO.EXE\r\n",
          "Exit code: 0\r\n"})
        EXPECT_NE(run.output.find(line), std::string::npos) << line << "\n" << run.output;
    EXPECT_EQ(run.output.rfind("Test OCX TALVO ", 0), 0u);
}

// Every way a check can end, each with its code, its kind of error, and never a window.
TEST(Check, EachFailureEndsWithItsCodeAndIsInTheReport) {
    const struct Case {
        const char* name;
        DISPID member;
        std::wstring script;
        std::wstring arguments;
        DWORD exitCode;
        const char* kind;
        const char* failedMember;
    } cases[] = {
        {"member error", 0x60030005, L"error:5:TalvoSrc:Bad thing", L"", 1, "member", "0x60030005"},
        {"crash", 0x60030001, L"av", L"", 3, "crash", "0x60030001"},
        {"crash holding the heap's lock", 0x60030001, L"av-locked", L"", 3, "crash", "0x60030001"},
        {"hang", 0x60030001, L"hang:60000:str:late", L"/timeout:1", 4, "timeout", "0x60030001"},
        // Stuck holding the heap's lock, which the full report needs: the last word goes out.
        {"hang holding the heap's lock", 0x60030001, L"hang-locked:60000:str:late", L"/timeout:1", 4, "timeout",
         "0x60030001"},
        {"unknown argument", 0x60030001, L"str:1.2.3.4", L"/verbose", 64, "usage", nullptr},
        {"time-out out of range", 0x60030001, L"str:1.2.3.4", L"/timeout:3601", 64, "usage", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto script = ScriptAnswers(c.member, c.script);
        const ULONGLONG start = GetTickCount64();
        const FinishedRun run = RunToEnd(L"/check /json " + c.arguments);
        const ULONGLONG took = GetTickCount64() - start;
        EXPECT_EQ(run.exitCode, std::optional<DWORD>(c.exitCode));
        EXPECT_FALSE(run.windowShown);
        const json report = Parsed(run.output);
        testing::Test::RecordProperty(c.name, run.output);
        EXPECT_EQ(report["exitCode"], c.exitCode);
        EXPECT_EQ(report["error"]["kind"], c.kind);
        EXPECT_EQ(report["error"]["member"], c.failedMember ? json(c.failedMember) : json());
        if (c.exitCode == 1) {
            EXPECT_EQ(report["error"]["number"], 5);
            EXPECT_EQ(report["error"]["source"], "TalvoSrc");
            EXPECT_EQ(report["error"]["description"], "Bad thing");
            EXPECT_EQ(report["calls"][1]["answer"], nullptr);
            // The window went with the error; the processes are listed all the same.
            EXPECT_FALSE(report["processes"].empty());
        }
        if (c.exitCode == 3) {
            EXPECT_NE(report["error"]["description"].get<std::string>().find("VbFunzioniStandIn.dll"),
                      std::string::npos);
        }
        if (c.exitCode == 4) {
            EXPECT_LT(took, 15000u) << "given up after the time-out, not after the call";
            if (c.script.starts_with(L"hang-locked"))  // the last word: the error, nothing else known
                EXPECT_TRUE(report["calls"].empty() && report["machine"].is_null());
            else
                EXPECT_EQ(report["calls"][0]["answer"], nullptr);
        }
        if (c.exitCode == 64) {
            EXPECT_NE(report["error"]["description"].get<std::string>().find("/timeout:SECONDS"), std::string::npos);
        }
    }
    // A report that cannot be written is said on the standard error.
    const FinishedRun unwritable = RunToEnd(L"/check \"/out:" + TempFile(L"no such folder\\report.txt") + L"\"");
    EXPECT_EQ(unwritable.exitCode, std::optional<DWORD>(5));
    EXPECT_FALSE(unwritable.windowShown);
    EXPECT_NE(unwritable.output.find("cannot be written to"), std::string::npos) << unwritable.output;
    // The last word in plain text.
    const auto locked = ScriptAnswers(0x60030001, L"hang-locked:60000:str:late");
    const FinishedRun plain = RunToEnd(L"/check /timeout:1");
    EXPECT_EQ(plain.exitCode, std::optional<DWORD>(4));
    for (const char* line :
         {"\r\nError: timeout, member 0x60030001\r\nError number: -2147023436\r\n", "\r\nExit code: 4\r\n"})
        EXPECT_NE(plain.output.find(line), std::string::npos) << plain.output;
}

}  // namespace
