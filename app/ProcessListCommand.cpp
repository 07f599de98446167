#include "ProcessListCommand.h"

void ProcessListCommand(HWND) {}
