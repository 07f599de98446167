#pragma once
// The VbFunzioni control: automation members plus what an OLE container needs to site,
// size, activate in place, draw and persist it.
#include <windows.h>

namespace standin {

// A new control; *ppv gets the interface riid asks for.
HRESULT CreateVbFunzioni(REFIID riid, void** ppv);

}  // namespace standin
