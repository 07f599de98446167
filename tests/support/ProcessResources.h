#pragma once
// What a process holds besides handles, measured from outside where the platform lets us:
// under Wine GetGuiResources and PROCESS_MEMORY_COUNTERS_EX.PrivateUsage answer 0.
#include <windows.h>

#include <optional>

// Committed private memory (MEM_COMMIT and MEM_PRIVATE regions), walked with VirtualQueryEx.
// The process handle needs PROCESS_QUERY_INFORMATION.
std::optional<size_t> PrivateBytes(HANDLE process);

// GDI and USER object counts from GetGuiResources; nothing when the platform does not keep
// them (both read 0 for a process that has a window, which no real count can be).
struct GuiObjects {
    DWORD gdi = 0;
    DWORD user = 0;
};
std::optional<GuiObjects> GuiObjectCount(HANDLE process);

// Windows owned by the threads of a process, top-level and children together.
size_t WindowCount(DWORD processId);

// Bytes in use in every heap of the calling process. With Wine's heap checking on
// (WINEDEBUG=warn+heap) a freed block waits in a queue before it is really freed; each heap's
// queue is flushed with small blocks first, so two counts compare whatever the mode.
size_t HeapBytesInUse();
