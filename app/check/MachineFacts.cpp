// winsock2.h must come before windows.h, which the other headers pull in. Only the types
// are used: ws2_32 is never linked.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>

#include "MachineFacts.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <utility>

#include "GrowingBuffer.h"
#include "SystemDll.h"
#include "Unique.h"

namespace {

using Ipv4 = std::array<BYTE, 4>;
using Ipv6 = std::array<BYTE, 16>;

// What two texts of an address are compared by.
struct Address {
    bool v6 = false;
    Ipv6 bytes{};  // an IPv4 address in the first four
    bool operator==(const Address&) const = default;
};

constexpr wchar_t kLowerHex[] = L"0123456789abcdef";
constexpr wchar_t kUpperHex[] = L"0123456789ABCDEF";

constexpr bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; }

std::wstring_view Trimmed(std::wstring_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

int HexValue(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

// Four decimal parts of up to three digits. A padded part ("010") is decimal, as people pad
// it, never the octal of the old inet_addr.
std::optional<Ipv4> ParseIpv4(std::wstring_view text) {
    Ipv4 bytes{};
    for (size_t part = 0; part < bytes.size(); ++part) {
        if (part != 0) {
            if (text.empty() || text.front() != L'.') return std::nullopt;
            text.remove_prefix(1);
        }
        size_t digits = 0;
        unsigned value = 0;
        while (digits < text.size() && digits < 4 && text[digits] >= L'0' && text[digits] <= L'9')
            value = value * 10 + static_cast<unsigned>(text[digits++] - L'0');
        if (digits == 0 || digits > 3 || value > 255) return std::nullopt;
        bytes[part] = static_cast<BYTE>(value);
        text.remove_prefix(digits);
    }
    if (!text.empty()) return std::nullopt;
    return bytes;
}

// One side of an IPv6 address's "::" into bytes from count on: groups of one to four hex
// digits joined by ':', the last one possibly an IPv4 address. False when malformed or too long.
bool ReadGroups(std::wstring_view text, bool ipv4Last, Ipv6& bytes, size_t& count) {
    if (text.empty()) return true;
    for (;;) {
        const size_t colon = text.find(L':');
        const std::wstring_view group = text.substr(0, colon);
        if (colon == std::wstring_view::npos && ipv4Last && group.find(L'.') != std::wstring_view::npos) {
            const std::optional<Ipv4> ipv4 = ParseIpv4(group);
            if (!ipv4 || count + ipv4->size() > bytes.size()) return false;
            std::copy(ipv4->begin(), ipv4->end(), bytes.begin() + static_cast<std::ptrdiff_t>(count));
            count += ipv4->size();
            return true;
        }
        if (group.empty() || group.size() > 4 || count + 2 > bytes.size()) return false;
        unsigned value = 0;
        for (const wchar_t c : group) {
            const int digit = HexValue(c);
            if (digit < 0) return false;
            value = value * 16 + static_cast<unsigned>(digit);
        }
        bytes[count++] = static_cast<BYTE>(value >> 8);
        bytes[count++] = static_cast<BYTE>(value & 0xFF);
        if (colon == std::wstring_view::npos) return true;
        text.remove_prefix(colon + 1);
    }
}

std::optional<Ipv6> ParseIpv6(std::wstring_view text) {
    Ipv6 head{};
    size_t headCount = 0;
    const size_t gap = text.find(L"::");
    if (gap == std::wstring_view::npos) {
        if (!ReadGroups(text, true, head, headCount) || headCount != head.size()) return std::nullopt;
        return head;
    }
    // A second "::" leaves an empty group on the right, which ReadGroups refuses.
    Ipv6 tail{};
    size_t tailCount = 0;
    if (!ReadGroups(text.substr(0, gap), false, head, headCount) ||
        !ReadGroups(text.substr(gap + 2), true, tail, tailCount))
        return std::nullopt;
    // "::" stands for one zero group at least.
    if (headCount + tailCount > head.size() - 2) return std::nullopt;
    std::copy(tail.begin(), tail.begin() + static_cast<std::ptrdiff_t>(tailCount),
              head.end() - static_cast<std::ptrdiff_t>(tailCount));
    return head;
}

std::optional<Address> ParseAddress(std::wstring_view text) {
    text = Trimmed(text);
    const size_t percent = text.find(L'%');
    if (percent != std::wstring_view::npos) {
        // A zone names the link an IPv6 address is used on: no part of the address. IPv4 has none.
        if (percent + 1 == text.size()) return std::nullopt;
        if (const std::optional<Ipv6> ipv6 = ParseIpv6(text.substr(0, percent))) return Address{true, *ipv6};
        return std::nullopt;
    }
    if (const std::optional<Ipv4> ipv4 = ParseIpv4(text)) {
        Address address;
        std::copy(ipv4->begin(), ipv4->end(), address.bytes.begin());
        return address;
    }
    if (const std::optional<Ipv6> ipv6 = ParseIpv6(text)) return Address{true, *ipv6};
    return std::nullopt;
}

std::wstring Ipv4Text(const BYTE* bytes) {
    return std::to_wstring(bytes[0]) + L'.' + std::to_wstring(bytes[1]) + L'.' + std::to_wstring(bytes[2]) + L'.' +
           std::to_wstring(bytes[3]);
}

// The form of RFC 5952, as ipconfig shows it: lower case, no leading zeros, the first of the
// longest runs of two or more zero groups as "::", an IPv4-mapped address's last part dotted.
std::wstring Ipv6Text(const Ipv6& bytes) {
    constexpr BYTE kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (std::equal(std::begin(kMapped), std::end(kMapped), bytes.begin())) return L"::ffff:" + Ipv4Text(&bytes[12]);
    std::array<unsigned, 8> groups{};
    for (size_t i = 0; i < groups.size(); ++i) groups[i] = (unsigned{bytes[2 * i]} << 8) | bytes[2 * i + 1];
    size_t runStart = groups.size();
    size_t runLength = 1;
    for (size_t i = 0; i < groups.size();) {
        size_t end = i;
        while (end < groups.size() && groups[end] == 0) ++end;
        if (end - i > runLength) {
            runStart = i;
            runLength = end - i;
        }
        i = end == i ? i + 1 : end;
    }
    std::wstring text;
    for (size_t i = 0; i < groups.size(); ++i) {
        if (i == runStart) {
            text += L"::";
            i += runLength - 1;
            continue;
        }
        if (!text.empty() && text.back() != L':') text += L':';
        bool started = false;
        for (int shift = 12; shift >= 0; shift -= 4) {
            const unsigned digit = (groups[i] >> shift) & 0xF;
            if (digit == 0 && !started && shift != 0) continue;
            text += kLowerHex[digit];
            started = true;
        }
    }
    return text;
}

// The adapters' list as the platform wrote it into our buffer. Every pointer in it is checked
// to lie inside the buffer before it is followed, so a malformed list cannot make us read
// beyond it.
class Listing {
public:
    explicit Listing(const std::string& bytes)
        : begin_(reinterpret_cast<uintptr_t>(bytes.data())), end_(begin_ + bytes.size()) {}

    bool Holds(const void* at, size_t size, size_t alignment) const {
        const auto address = reinterpret_cast<uintptr_t>(at);
        return address >= begin_ && address <= end_ && size <= end_ - address && address % alignment == 0;
    }

    // A NUL-terminated string; empty when it is missing or runs off the end.
    std::wstring Text(const wchar_t* text) const {
        if (!Holds(text, 0, alignof(wchar_t))) return {};
        const size_t most = (end_ - reinterpret_cast<uintptr_t>(text)) / sizeof(wchar_t);
        const size_t length = wcsnlen(text, most);
        return length < most ? std::wstring(text, length) : std::wstring();
    }

private:
    uintptr_t begin_;
    uintptr_t end_;
};

// What we read of each record: Windows XP's shorter records end after these.
constexpr size_t kAdapterRecordSize = offsetof(IP_ADAPTER_ADDRESSES, OperStatus) + sizeof(IF_OPER_STATUS);
constexpr size_t kUnicastRecordSize = offsetof(IP_ADAPTER_UNICAST_ADDRESS, Address) + sizeof(SOCKET_ADDRESS);

std::optional<std::wstring> MacText(const IP_ADAPTER_ADDRESSES& record) {
    const ULONG length = record.PhysicalAddressLength;
    // A length beyond the field is the platform's error: no MAC rather than a cut one.
    if (length == 0 || length > MAX_ADAPTER_ADDRESS_LENGTH) return std::nullopt;
    std::wstring text;
    for (ULONG i = 0; i < length; ++i) {
        if (i != 0) text += L'-';
        text += kUpperHex[record.PhysicalAddress[i] >> 4];
        text += kUpperHex[record.PhysicalAddress[i] & 0x0F];
    }
    return text;
}

// A socket address too short for what its family says is left out.
void AddAddress(const SOCKET_ADDRESS& address, const Listing& listing, NetworkAdapter& adapter) {
    if (address.iSockaddrLength < static_cast<INT>(sizeof(ADDRESS_FAMILY))) return;
    const auto length = static_cast<size_t>(address.iSockaddrLength);
    const auto* bytes = reinterpret_cast<const BYTE*>(address.lpSockaddr);
    if (!listing.Holds(bytes, length, 1)) return;
    ADDRESS_FAMILY family = 0;
    std::memcpy(&family, bytes, sizeof family);
    if (family == AF_INET && length >= offsetof(sockaddr_in, sin_addr) + 4) {
        Ipv4 ipv4{};
        std::memcpy(ipv4.data(), bytes + offsetof(sockaddr_in, sin_addr), ipv4.size());
        adapter.ipv4.push_back(Ipv4Text(ipv4.data()));
    } else if (family == AF_INET6 && length >= offsetof(sockaddr_in6, sin6_addr) + 16) {
        Ipv6 ipv6{};
        std::memcpy(ipv6.data(), bytes + offsetof(sockaddr_in6, sin6_addr), ipv6.size());
        adapter.ipv6.push_back(Ipv6Text(ipv6));
    }
}

// Null when the list is malformed: a record outside the buffer, or shorter than what we read
// of it, or a list longer than the buffer can hold (a loop).
std::optional<std::vector<NetworkAdapter>> AdaptersIn(const std::string& bytes) {
    std::vector<NetworkAdapter> adapters;
    if (bytes.empty()) return adapters;
    const Listing listing(bytes);
    size_t budget = bytes.size() / 8;
    for (const auto* record = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(bytes.data()); record != nullptr;
         record = record->Next) {
        if (budget-- == 0 || !listing.Holds(record, kAdapterRecordSize, alignof(IP_ADAPTER_ADDRESSES)) ||
            record->Length < kAdapterRecordSize)
            return std::nullopt;
        NetworkAdapter adapter;
        adapter.name = listing.Text(record->FriendlyName);
        adapter.description = listing.Text(record->Description);
        adapter.mac = MacText(*record);
        adapter.up = record->OperStatus == IfOperStatusUp;
        for (const IP_ADAPTER_UNICAST_ADDRESS* unicast = record->FirstUnicastAddress; unicast != nullptr;
             unicast = unicast->Next) {
            if (budget-- == 0 || !listing.Holds(unicast, kUnicastRecordSize, alignof(IP_ADAPTER_UNICAST_ADDRESS)) ||
                unicast->Length < kUnicastRecordSize)
                return std::nullopt;
            AddAddress(unicast->Address, listing, adapter);
        }
        adapters.push_back(std::move(adapter));
    }
    return adapters;
}

std::optional<std::vector<NetworkAdapter>> ReadAdapters() {
    // Not imported: IPHLPAPI.DLL is not one of the KnownDLLs, so Windows would look for it
    // beside the program first.
    const unique_hmodule iphlpapi = LoadSystemDll(L"iphlpapi.dll");
    const auto list = SystemFunction<decltype(&GetAdaptersAddresses)>(iphlpapi, "GetAdaptersAddresses");
    if (list == nullptr) return std::nullopt;
    constexpr ULONG kFlags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    // An empty answer is ERROR_NO_DATA: no adapters. The list can grow between two calls, and
    // a few thousand adapters fit in the most we allow.
    const std::optional<std::string> bytes = FillGrowing<char>(
        [&](char* buffer, size_t capacity) -> std::optional<size_t> {
            ULONG size = static_cast<ULONG>(capacity);
            const ULONG status =
                list(AF_UNSPEC, kFlags, nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer), &size);
            if (status == ERROR_SUCCESS) return capacity;
            if (status == ERROR_NO_DATA) return 0;
            if (status != ERROR_BUFFER_OVERFLOW) return std::nullopt;
            // Too small, yet asking for no more than it had: more all the same.
            return size > capacity ? size : capacity * 2;
        },
        16 * 1024, 16 * 1024 * 1024);
    if (!bytes) return std::nullopt;
    return AdaptersIn(*bytes);
}

std::optional<std::wstring> ReadComputerName() {
    std::optional<std::wstring> name = FillGrowing<wchar_t>(
        [](wchar_t* buffer, size_t capacity) -> std::optional<size_t> {
            auto size = static_cast<DWORD>(capacity);
            if (GetComputerNameExW(ComputerNameDnsHostname, buffer, &size)) return size;
            // The size it needs, NUL counted.
            if (GetLastError() == ERROR_MORE_DATA && size > capacity) return size;
            return std::nullopt;
        },
        64, 1024);
    if (name && name->empty()) return std::nullopt;
    return name;
}

std::optional<std::wstring> ReadWindowsVersion() {
    // GetVersionEx answers what the program's manifest claims to know; RtlGetVersion the truth.
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr) return std::nullopt;
    using GetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
    const auto get = reinterpret_cast<GetVersionFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
    if (get == nullptr) return std::nullopt;
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (get(&info) < 0) return std::nullopt;
    return std::to_wstring(info.dwMajorVersion) + L'.' + std::to_wstring(info.dwMinorVersion) + L'.' +
           std::to_wstring(info.dwBuildNumber);
}

std::optional<bool> ReadWindows64() {
    // This program is 32-bit: it runs under WoW64 exactly when Windows is 64-bit.
    BOOL wow64 = FALSE;
    if (!IsWow64Process(GetCurrentProcess(), &wow64)) return std::nullopt;
    return wow64 != FALSE;
}

// The hex digits alone, upper case.
std::wstring MacDigits(std::wstring_view mac) {
    std::wstring digits;
    for (const wchar_t c : Trimmed(mac)) {
        if (c == L'-' || c == L':') continue;
        digits += (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c;
    }
    return digits;
}

// The first adapter that satisfies the test, or null.
template <typename Test>
const NetworkAdapter* FirstAdapter(const MachineFacts& facts, const Test& test) {
    if (!facts.adapters) return nullptr;
    const auto found = std::find_if(facts.adapters->begin(), facts.adapters->end(), test);
    return found == facts.adapters->end() ? nullptr : &*found;
}

}  // namespace

MachineFacts ReadMachineFacts() {
    MachineFacts facts;
    facts.name = ReadComputerName();
    facts.windows = ReadWindowsVersion();
    facts.windows64 = ReadWindows64();
    facts.adapters = ReadAdapters();
    return facts;
}

const NetworkAdapter* AdapterWithAddress(const MachineFacts& facts, std::wstring_view address) {
    const std::optional<Address> wanted = ParseAddress(address);
    if (!wanted) return nullptr;
    const auto same = [&](const std::wstring& text) { return ParseAddress(text) == wanted; };
    return FirstAdapter(facts, [&](const NetworkAdapter& adapter) {
        return std::any_of(adapter.ipv4.begin(), adapter.ipv4.end(), same) ||
               std::any_of(adapter.ipv6.begin(), adapter.ipv6.end(), same);
    });
}

const NetworkAdapter* AdapterWithMac(const MachineFacts& facts, std::wstring_view mac) {
    const std::wstring wanted = MacDigits(mac);
    if (wanted.empty()) return nullptr;
    return FirstAdapter(
        facts, [&](const NetworkAdapter& adapter) { return adapter.mac && MacDigits(*adapter.mac) == wanted; });
}
