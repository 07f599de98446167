#pragma once
// Handles held by a process, counted from the system handle table: under Wine
// GetProcessHandleCount answers 0.
#include <windows.h>

#include <optional>

// The number of open handles of this process, or nothing when the system will not tell.
std::optional<size_t> ProcessOwnHandleCount();

// The same for any process, by its id.
std::optional<size_t> HandleCountOfProcess(DWORD processId);
