#pragma once
#include <windows.h>

#include "modTask.h"

// Command2: rebuilds the list box with the upper-cased names of all running processes, one
// item per process in snapshot order. An error from the list box ends the command where it
// stands and is thrown as a NumberedError; the items added so far stay.
void ProcessListCommand(HWND list);

// The same with the snapshot functions given, so tests can feed crafted snapshots.
void ProcessListCommand(HWND list, const modTask::SnapshotApi& api);

// The name as the list shows it: upper case by the rules of the user's locale.
std::wstring UpperForList(std::wstring_view name);
