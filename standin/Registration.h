#pragma once
// Self-registration in HKEY_CLASSES_ROOT as a 32-bit process sees it (the 32-bit view).
#include <windows.h>

namespace standin {

// Writes the class, its in-process server, control keys and the ProgID. A failure part
// way removes what was written.
HRESULT RegisterServer();

// Removes exactly the values and keys RegisterServer writes; a key that holds anything
// else stays. Nothing registered is not an error.
HRESULT UnregisterServer();

}  // namespace standin
