#pragma once
// The machine's own facts, read from the platform, to set beside what the control answers:
// its name, its Windows, and every network adapter with its addresses.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct NetworkAdapter {
    std::wstring name;  // the friendly name, as the network settings show it
    std::wstring description;
    std::optional<std::wstring> mac;       // "02-FC-00-00-00-01"; none when the adapter has no physical address
    bool up = false;                       // operational status "up"
    std::vector<std::wstring> ipv4, ipv6;  // unicast addresses; IPv6 without a zone
};

struct MachineFacts {
    std::optional<std::wstring> name;                     // the DNS host name
    std::optional<std::wstring> windows;                  // "10.0.19045": major.minor.build
    std::optional<bool> windows64;                        // true on 64-bit Windows
    std::optional<std::vector<NetworkAdapter>> adapters;  // none when the platform could not list them
};

// A fact the platform does not give stays empty. Throws nothing but std::bad_alloc.
MachineFacts ReadMachineFacts();

// The adapter holding this address, or null. The answer is read as an IPv4 or IPv6 address
// (blanks around it and an IPv6 zone "%n" ignored) and compared as an address, not as text;
// an answer that is no address holds nothing.
const NetworkAdapter* AdapterWithAddress(const MachineFacts& facts, std::wstring_view address);

// The adapter with this MAC address, or null: compared ignoring case, blanks around it and the
// separators '-' and ':'. An answer with no digits, or an adapter without one, matches nothing.
const NetworkAdapter* AdapterWithMac(const MachineFacts& facts, std::wstring_view mac);
