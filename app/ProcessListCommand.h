#pragma once
#include <windows.h>

// Command2: rebuilds the list box with the upper-cased names of all running processes.
void ProcessListCommand(HWND list);
