#include "ProcessHandleCount.h"

#include <winternl.h>

#include <algorithm>
#include <cstddef>
#include <vector>

namespace {

constexpr auto kSystemHandleInformation = static_cast<SYSTEM_INFORMATION_CLASS>(16);
constexpr NTSTATUS kStatusInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004L);

// Windows keeps a 16-bit process id and a back-trace index where Wine keeps a 32-bit id;
// the low 16 bits agree in both.
struct HandleEntry {
    ULONG ownerPid;
    BYTE objectType;
    BYTE flags;
    USHORT handleValue;
    PVOID object;
    ULONG grantedAccess;
};
struct HandleTable {
    ULONG count;
    HandleEntry entries[1];
};

}  // namespace

std::optional<size_t> ProcessOwnHandleCount() { return HandleCountOfProcess(GetCurrentProcessId()); }

std::optional<size_t> HandleCountOfProcess(DWORD processId) {
    std::vector<BYTE> buffer(64 * 1024);
    for (int attempt = 0; attempt < 16; ++attempt) {
        ULONG needed = 0;
        const NTSTATUS status = NtQuerySystemInformation(kSystemHandleInformation, buffer.data(),
                                                         static_cast<ULONG>(buffer.size()), &needed);
        if (status == kStatusInfoLengthMismatch) {
            buffer.resize(std::max<size_t>(buffer.size() * 2, needed + 4096));
            continue;
        }
        if (status < 0) return std::nullopt;
        const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
        const size_t room = (buffer.size() - offsetof(HandleTable, entries)) / sizeof(HandleEntry);
        const size_t count = std::min<size_t>(table->count, room);
        const ULONG owner = processId & 0xFFFF;
        size_t own = 0;
        for (size_t i = 0; i < count; ++i)
            if ((table->entries[i].ownerPid & 0xFFFF) == owner) ++own;
        return own;
    }
    return std::nullopt;
}
