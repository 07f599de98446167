#include "ProcessResources.h"

#include <algorithm>
#include <vector>

namespace {

struct WindowTally {
    DWORD processId;
    size_t count;
};

BOOL CALLBACK CountChild(HWND, LPARAM param) {
    ++reinterpret_cast<WindowTally*>(param)->count;
    return TRUE;
}

BOOL CALLBACK CountTopLevel(HWND window, LPARAM param) {
    auto* tally = reinterpret_cast<WindowTally*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != tally->processId) return TRUE;
    ++tally->count;
    // Children of children too: EnumChildWindows walks the whole tree.
    EnumChildWindows(window, CountChild, param);
    return TRUE;
}

}  // namespace

std::optional<size_t> PrivateBytes(HANDLE process) {
    SYSTEM_INFO system{};
    GetSystemInfo(&system);
    auto* at = static_cast<const BYTE*>(system.lpMinimumApplicationAddress);
    const auto* end = static_cast<const BYTE*>(system.lpMaximumApplicationAddress);
    size_t total = 0;
    bool any = false;
    while (at < end) {
        MEMORY_BASIC_INFORMATION region{};
        if (VirtualQueryEx(process, at, &region, sizeof(region)) != sizeof(region)) break;
        any = true;
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) total += region.RegionSize;
        const auto* next = static_cast<const BYTE*>(region.BaseAddress) + region.RegionSize;
        if (next <= at) break;  // a region that does not move us on ends the walk
        at = next;
    }
    if (!any) return std::nullopt;
    return total;
}

std::optional<GuiObjects> GuiObjectCount(HANDLE process) {
    const GuiObjects counts{GetGuiResources(process, GR_GDIOBJECTS), GetGuiResources(process, GR_USEROBJECTS)};
    if (counts.gdi == 0 && counts.user == 0) return std::nullopt;
    return counts;
}

size_t WindowCount(DWORD processId) {
    WindowTally tally{processId, 0};
    EnumWindows(CountTopLevel, reinterpret_cast<LPARAM>(&tally));
    return tally.count;
}

size_t HeapBytesInUse() {
    std::vector<HANDLE> heaps(64);
    DWORD count = GetProcessHeaps(static_cast<DWORD>(heaps.size()), heaps.data());
    if (count > heaps.size()) {
        heaps.resize(count);
        count = GetProcessHeaps(count, heaps.data());
    }
    heaps.resize(std::min<size_t>(count, heaps.size()));
    size_t busy = 0;
    for (HANDLE heap : heaps) {
        for (int i = 0; i < 2048; ++i) HeapFree(heap, 0, HeapAlloc(heap, 0, 16));
        if (!HeapLock(heap)) continue;
        PROCESS_HEAP_ENTRY entry{};
        while (HeapWalk(heap, &entry))
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) busy += entry.cbData;
        HeapUnlock(heap);
    }
    return busy;
}
