#pragma once
// The probe demand: what a control reads through its client site as it is sited (the
// extender and its parent form, the ambient properties), one "observed NAME=VALUE" line each.
#include <windows.h>
#include <ole2.h>

namespace standin {

// Reads and logs; a read that fails is logged as "error 0xHHHHHHHH" and the rest go on.
void ProbeSite(IOleClientSite* site) noexcept;

}  // namespace standin
