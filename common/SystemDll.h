#pragma once
// DLLs of the system's, loaded from the system folder only. Windows looks in a program's own
// folder first for any DLL that is not one of its KnownDLLs, and a technician runs this
// program from wherever it landed: a DLL of a system name left beside it must never run.
#include <windows.h>

#include <cwchar>

#include "Unique.h"

// Null, with the last error set, when the system has no such DLL.
inline unique_hmodule LoadSystemDll(const wchar_t* name) noexcept {
    unique_hmodule module(LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    if (module || GetLastError() != ERROR_INVALID_PARAMETER) return module;
    // A Windows without the search flags (Windows 7 before KB2533623): the full system path.
    wchar_t path[MAX_PATH];
    const UINT length = GetSystemDirectoryW(path, MAX_PATH);
    const size_t nameLength = wcslen(name);
    if (length == 0 || length + 1 + nameLength >= MAX_PATH) return module;
    path[length] = L'\\';
    wmemcpy(path + length + 1, name, nameLength + 1);
    module.reset(LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    return module;
}

// A function of a loaded DLL as its own type; null, with the last error set, when it lacks it.
template <typename Function>
Function SystemFunction(const unique_hmodule& module, const char* name) noexcept {
    if (!module) return nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module.get(), name)));
}

// From here on the process's own DLL searches look in the system folder only; a DLL loaded
// by its full path with an altered search path (as COM loads an in-process server) still
// finds what it needs beside it first. Looked up, not imported: Windows 7 has it only with
// KB2533623; without it, the current folder at least leaves the search.
inline void RestrictDllSearch() noexcept {
    using SetDefaultFn = BOOL(WINAPI*)(DWORD);
    const auto setDefault = reinterpret_cast<SetDefaultFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
    if (setDefault == nullptr || !setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) SetDllDirectoryW(L"");
}
