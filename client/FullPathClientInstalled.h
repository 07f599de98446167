#pragma once
// Locates the vendor's installed client executable through its registry keys under
// HKEY_LOCAL_MACHINE (32-bit view) and, where no Quintell key exists, on disk.
#include <string>

// The full path of the client executable, or the empty text when none is found. Errors of
// the platform calls (the program's version record) are raised as NumberedError.
std::wstring FullPathClientInstalled();
