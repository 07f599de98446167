#pragma once
// The clipboard, for text the user asked to copy.
#include <windows.h>

#include <string>

// Puts text on the clipboard as Unicode text, owned by owner. Throws NumberedError saying what
// to do when the clipboard cannot be had.
void CopyToClipboard(HWND owner, const std::wstring& text);
