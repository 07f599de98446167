#pragma once
// The bare side of the unattended run, for talvo_bench_bare_check (BareControl.cpp built with
// TALVO_BARE_CHECK).
#include <windows.h>
#include <ole2.h>

// Get's calls and Command2's walk, bare, on the control once it is active; writes nothing.
// The process's exit code: 0 when every call answered, as the program's 0 says of its run.
int RunBareCheck(IOleObject* object);
