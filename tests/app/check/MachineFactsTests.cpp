// The machine's facts: answers matched with adapters as addresses and MACs, and what the
// platform lists, set against its other ways of listing the same things.
#include <gtest/gtest.h>

// winsock2.h before windows.h.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <netioapi.h>

#include <algorithm>
#include <cwchar>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "MachineFacts.h"
#include "SystemDll.h"
#include "Text.h"

namespace {

MachineFacts HandBuilt() {
    MachineFacts facts;
    facts.adapters.emplace();
    const std::vector<std::wstring> ipv6 = {L"fe80::1", L"2001:db8::8:800:200c:417a", L"64:ff9b::c000:221"};
    facts.adapters->push_back({L"eth0", L"", L"02-FC-00-00-00-01", true, {L"10.20.30.40"}, ipv6});
    facts.adapters->push_back(
        {L"wlan", L"", L"0A-38-FF-69-8C-94", false, {L"192.168.1.5", L"bogus"}, {L"2001:db8:1:2:3:4:5:0"}});
    facts.adapters->push_back({L"lo", L"", std::nullopt, true, {L"127.0.0.1"}, {L"::1"}});
    return facts;
}

TEST(MachineFacts, AddressesMatchAsAddressesNotAsText) {
    const MachineFacts facts = HandBuilt();
    const NetworkAdapter* eth0 = &(*facts.adapters)[0];
    for (const wchar_t* same : {L"10.20.30.40", L"  10.20.30.40\r\n", L"010.020.030.040", L"fe80:0:0::1", L"FE80::0001",
                                L"fe80:0:0:0:0:0:0:1", L"fe80::1%12", L" fe80::1%eth0 ",
                                L"2001:DB8:0:0:8:800:200C:417A", L"64:ff9b::192.0.2.33"})
        EXPECT_EQ(AdapterWithAddress(facts, same), eth0) << same;
    EXPECT_EQ(AdapterWithAddress(facts, L"0:0::1"), &(*facts.adapters)[2]);
    EXPECT_EQ(AdapterWithAddress(facts, L"192.168.1.5"), &(*facts.adapters)[1]);

    for (const wchar_t* other : {L"10.20.30.4", L"10.20.30.41", L"fe80::2", L"fe80::1:0"})
        EXPECT_EQ(AdapterWithAddress(facts, other), nullptr) << other;
    // Near misses of held addresses: a lenient reading would find them.
    // clang-format off
    const wchar_t* const notAddresses[] = {
        L"", L"   ", L"bogus", L"10.20.30", L"10.20.30.40.5", L"10.20.30.400", L"10.20.30.0040", L"10.20.30.40%1",
        L"10.20.30.40:80", L"10.20.30.40::", L"fe80::1%", L"fe80::1::1", L"fe80:::1", L"fe80::00001",
        L"fe80:0:0:0:0:0:0:1:1", L"2001:db8:1:2:3:4:5", L"fe80:0:0:0:0:0:0::1", L"[fe80::1]", L"fe80::1 x", L"fe80::1g",
        L":fe80::1", L"fe80::1:", L"64:ff9b::192.0.2.33:0", L"64:ff9b::192.0.2.33.0"};
    // clang-format on
    for (const wchar_t* notAddress : notAddresses)
        EXPECT_EQ(AdapterWithAddress(facts, notAddress), nullptr) << notAddress;

    MachineFacts unlisted;
    EXPECT_EQ(AdapterWithAddress(unlisted, L"127.0.0.1"), nullptr);
}

TEST(MachineFacts, MacsMatchIgnoringCaseAndSeparators) {
    const MachineFacts facts = HandBuilt();
    const NetworkAdapter* eth0 = &(*facts.adapters)[0];
    for (const wchar_t* same : {L"02-FC-00-00-00-01", L"02:fc:00:00:00:01", L"02fc00000001", L" 02-fc-00-00-00-01\t"})
        EXPECT_EQ(AdapterWithMac(facts, same), eth0) << same;
    EXPECT_EQ(AdapterWithMac(facts, L"0a-38-ff-69-8c-94"), &(*facts.adapters)[1]);
    for (const wchar_t* other :
         {L"", L"-", L"--:-", L"  ", L"02-FC-00-00-00", L"02-FC-00-00-00-01-00", L"00-00-00-00-00-00"})
        EXPECT_EQ(AdapterWithMac(facts, other), nullptr) << other;
}

// Set against the platform's other ways of asking: each address of its unicast table, as ntdll
// writes it; each interface's name and status; each adapter's MAC from GetAdaptersInfo.
TEST(MachineFacts, ReadsWhatThePlatformListsElsewhere) {
    const MachineFacts facts = ReadMachineFacts();
    ASSERT_TRUE(facts.name);
    EXPECT_FALSE(facts.name->empty());
    ASSERT_TRUE(facts.windows);
    EXPECT_TRUE(std::regex_match(*facts.windows, std::wregex(L"[0-9]+\\.[0-9]+\\.[0-9]+"))) << *facts.windows;
    SYSTEM_INFO system{};
    GetNativeSystemInfo(&system);
    EXPECT_EQ(facts.windows64, system.wProcessorArchitecture != PROCESSOR_ARCHITECTURE_INTEL);

    ASSERT_TRUE(facts.adapters);
    const NetworkAdapter* loopback = AdapterWithAddress(facts, L"127.0.0.1");
    ASSERT_NE(loopback, nullptr);
    EXPECT_TRUE(loopback->up);
    EXPECT_EQ(loopback->mac, std::nullopt);

    const unique_hmodule iphlpapi = LoadSystemDll(L"iphlpapi.dll");
    const auto table = SystemFunction<decltype(&GetUnicastIpAddressTable)>(iphlpapi, "GetUnicastIpAddressTable");
    const auto freeTable = SystemFunction<decltype(&FreeMibTable)>(iphlpapi, "FreeMibTable");
    const auto interfaces = SystemFunction<decltype(&GetIfTable2)>(iphlpapi, "GetIfTable2");
    const auto info = SystemFunction<decltype(&GetAdaptersInfo)>(iphlpapi, "GetAdaptersInfo");
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const auto v4Text = reinterpret_cast<PWSTR(NTAPI*)(const IN_ADDR*, PWSTR)>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlIpv4AddressToStringW")));
    const auto v6Text = reinterpret_cast<PWSTR(NTAPI*)(const IN6_ADDR*, PWSTR)>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlIpv6AddressToStringW")));
    ASSERT_TRUE(table && freeTable && interfaces && info && v4Text && v6Text);

    MIB_UNICASTIPADDRESS_TABLE* rows = nullptr;
    ASSERT_EQ(table(AF_UNSPEC, &rows), static_cast<DWORD>(NO_ERROR));
    const std::unique_ptr<MIB_UNICASTIPADDRESS_TABLE, decltype(freeTable)> owned(rows, freeTable);
    size_t listed = 0;
    for (const NetworkAdapter& adapter : *facts.adapters) listed += adapter.ipv4.size() + adapter.ipv6.size();
    EXPECT_EQ(listed, rows->NumEntries);
    for (ULONG i = 0; i < rows->NumEntries; ++i) {
        const SOCKADDR_INET& address = rows->Table[i].Address;
        wchar_t text[64] = L"";
        if (address.si_family == AF_INET)
            v4Text(&address.Ipv4.sin_addr, text);
        else
            v6Text(&address.Ipv6.sin6_addr, text);
        const NetworkAdapter* holder = AdapterWithAddress(facts, text);
        ASSERT_NE(holder, nullptr) << text;
        const auto& held = address.si_family == AF_INET ? holder->ipv4 : holder->ipv6;
        EXPECT_NE(std::find(held.begin(), held.end(), text), held.end()) << text << L" as text on " << holder->name;
    }

    MIB_IF_TABLE2* ifs = nullptr;
    ASSERT_EQ(interfaces(&ifs), static_cast<DWORD>(NO_ERROR));
    const std::unique_ptr<MIB_IF_TABLE2, decltype(freeTable)> ownedIfs(ifs, freeTable);
    for (const NetworkAdapter& adapter : *facts.adapters) {
        const MIB_IF_ROW2* row = std::find_if(ifs->Table, ifs->Table + ifs->NumEntries,
                                              [&](const MIB_IF_ROW2& row) { return adapter.name == row.Alias; });
        ASSERT_NE(row, ifs->Table + ifs->NumEntries) << adapter.name;
        EXPECT_EQ(adapter.up, row->OperStatus == IfOperStatusUp) << adapter.name;
    }

    ULONG size = 0;
    ASSERT_EQ(info(nullptr, &size), static_cast<ULONG>(ERROR_BUFFER_OVERFLOW));
    std::vector<ULONGLONG> buffer(size / sizeof(ULONGLONG) + 1);
    size = static_cast<ULONG>(buffer.size() * sizeof(ULONGLONG));
    auto* first = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data());
    ASSERT_EQ(info(first, &size), static_cast<ULONG>(ERROR_SUCCESS));
    for (const IP_ADAPTER_INFO* adapter = first; adapter != nullptr; adapter = adapter->Next) {
        if (adapter->AddressLength == 0) continue;
        std::wstring colons, dashes;
        for (UINT i = 0; i < adapter->AddressLength && i < MAX_ADAPTER_ADDRESS_LENGTH; ++i) {
            wchar_t lower[4], upper[4];
            swprintf(lower, 4, L"%02x", adapter->Address[i]);
            swprintf(upper, 4, L"%02X", adapter->Address[i]);
            colons += (i == 0 ? L"" : L":") + std::wstring(lower);
            dashes += (i == 0 ? L"" : L"-") + std::wstring(upper);
        }
        const NetworkAdapter* holder = AdapterWithMac(facts, colons);
        ASSERT_NE(holder, nullptr) << colons;
        EXPECT_EQ(holder->mac, dashes);
        EXPECT_EQ(holder->description, FromAnsi(adapter->Description));
    }
}

}  // namespace
