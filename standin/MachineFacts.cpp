// winsock2.h must come before windows.h, which the other headers pull in.
#include <winsock2.h>
#include <iphlpapi.h>

#include "MachineFacts.h"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "Text.h"
#include "modTask.h"
#include "SystemDll.h"
#include "Unique.h"

namespace standin {

namespace {

constexpr wchar_t kPelloraExe[] = L"Pellora.exe";

std::wstring Hex2(BYTE value) {
    constexpr wchar_t digits[] = L"0123456789ABCDEF";
    return {digits[value >> 4], digits[value & 0x0F]};
}

// Six groups always: a shorter hardware address is padded with zeros, a longer one (not
// Ethernet) is cut to its first six bytes.
std::wstring MacText(const BYTE* address, ULONG length) {
    std::wstring text;
    for (ULONG i = 0; i < 6; ++i) {
        if (i != 0) text += L'-';
        text += Hex2(address != nullptr && i < length ? address[i] : 0);
    }
    return text;
}

std::optional<std::wstring> Ipv4Of(const IP_ADAPTER_ADDRESSES& adapter) {
    for (const IP_ADAPTER_UNICAST_ADDRESS* unicast = adapter.FirstUnicastAddress; unicast != nullptr;
         unicast = unicast->Next) {
        const SOCKET_ADDRESS& address = unicast->Address;
        if (address.lpSockaddr == nullptr || address.iSockaddrLength < static_cast<INT>(sizeof(sockaddr_in)) ||
            address.lpSockaddr->sa_family != AF_INET)
            continue;
        const auto* in = reinterpret_cast<const sockaddr_in*>(address.lpSockaddr);
        const auto* bytes = reinterpret_cast<const BYTE*>(&in->sin_addr);
        return std::to_wstring(bytes[0]) + L'.' + std::to_wstring(bytes[1]) + L'.' + std::to_wstring(bytes[2]) + L'.' +
               std::to_wstring(bytes[3]);
    }
    return std::nullopt;
}

// The adapters list; empty when the system has none or will not say.
std::vector<ULONGLONG> AdapterList() {
    constexpr ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    // Not imported: COM loads this DLL with its own folder searched first, and IPHLPAPI.DLL is
    // not one of the system's KnownDLLs.
    const unique_hmodule iphlpapi = LoadSystemDll(L"iphlpapi.dll");
    const auto list = SystemFunction<decltype(&GetAdaptersAddresses)>(iphlpapi, "GetAdaptersAddresses");
    if (list == nullptr) return {};
    ULONG size = 16 * 1024;
    // The list can grow between the calls; a few tries are plenty.
    for (int attempt = 0; attempt < 4; ++attempt) {
        std::vector<ULONGLONG> buffer((size + sizeof(ULONGLONG) - 1) / sizeof(ULONGLONG));
        const size_t bytes = buffer.size() * sizeof(ULONGLONG);
        size = static_cast<ULONG>(bytes);
        const ULONG status =
            list(AF_UNSPEC, flags, nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
        if (status == ERROR_SUCCESS) return buffer;
        if (status != ERROR_BUFFER_OVERFLOW) break;
    }
    return {};
}

std::optional<std::wstring> ReadInstallDir() {
    unique_hkey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Brevanti\\Pellora", 0, KEY_QUERY_VALUE | KEY_WOW64_32KEY,
                      key.put()) != ERROR_SUCCESS)
        return std::nullopt;
    std::vector<char> data;
    DWORD type = 0;
    DWORD size = 0;
    LONG status = ERROR_MORE_DATA;
    // The value may change size between the calls; try again until it fits.
    for (int attempt = 0; attempt < 8 && status == ERROR_MORE_DATA; ++attempt) {
        status = RegQueryValueExA(key.get(), "InstallDir", nullptr, &type, nullptr, &size);
        if (status != ERROR_SUCCESS) return std::nullopt;
        data.assign(size, '\0');
        status = RegQueryValueExA(key.get(), "InstallDir", nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
    }
    if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return std::nullopt;
    // The data need not end in a NUL, and may hold several: the text is what comes before
    // the first one.
    const std::string_view bytes(data.data(), std::min<size_t>(size, data.size()));
    std::wstring text = FromAnsi(bytes.substr(0, bytes.find('\0')));
    if (type == REG_EXPAND_SZ && !text.empty()) {
        const DWORD needed = ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
        if (needed == 0) return std::nullopt;
        std::wstring expanded(needed, L'\0');
        const DWORD written = ExpandEnvironmentStringsW(text.c_str(), expanded.data(), needed);
        if (written == 0 || written > needed) return std::nullopt;
        expanded.resize(written - 1);
        text = std::move(expanded);
    }
    return text;
}

std::wstring_view BaseName(std::wstring_view path) {
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring_view::npos ? path : path.substr(slash + 1);
}

bool IsPelloraRunning() {
    bool running = false;
    modTask::WalkProcessNames([&running](const std::wstring& name) {
        const std::wstring_view base = BaseName(name);
        if (CompareStringOrdinal(base.data(), static_cast<int>(base.size()), kPelloraExe, -1, TRUE) == CSTR_EQUAL)
            running = true;
    });
    return running;
}

}  // namespace

AdapterFacts LocalAdapter() {
    const std::vector<ULONGLONG> list = AdapterList();
    const IP_ADAPTER_ADDRESSES* firstUp = nullptr;
    for (auto* adapter = list.empty() ? nullptr : reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(list.data());
         adapter != nullptr; adapter = adapter->Next) {
        if (adapter->OperStatus != IfOperStatusUp || adapter->IfType == IF_TYPE_SOFTWARE_LOOPBACK) continue;
        if (firstUp == nullptr) firstUp = adapter;
        // An IPv6-only tunnel listed first must not hide the adapter that has the address.
        if (auto ip = Ipv4Of(*adapter))
            return {std::move(*ip), MacText(adapter->PhysicalAddress, adapter->PhysicalAddressLength)};
    }
    if (firstUp != nullptr) return {L"", MacText(firstUp->PhysicalAddress, firstUp->PhysicalAddressLength)};
    return {L"", MacText(nullptr, 0)};
}

std::wstring PelloraStatus() {
    const std::optional<std::wstring> dir = ReadInstallDir();
    if (!dir || dir->empty()) return L"Not installed";
    std::wstring exe = *dir;
    if (exe.back() != L'\\' && exe.back() != L'/') exe += L'\\';
    exe += kPelloraExe;
    const DWORD attributes = GetFileAttributesW(exe.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return L"Executable missing";
    return IsPelloraRunning() ? L"Running" : L"Installed";
}

}  // namespace standin
