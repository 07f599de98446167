#pragma once
// A window's text, whole: its length is asked first, and a text that grew before it was read
// is read again with more room rather than cut.
#include <windows.h>

#include <string>

inline std::wstring WindowText(HWND window) {
    std::wstring text;
    for (int tries = 0; tries < 8; ++tries) {
        const int length = GetWindowTextLengthW(window);
        if (length <= 0) return {};
        // One character to spare: a read that fills the buffer may have been cut.
        text.resize(static_cast<size_t>(length) + 2);
        const int copied = GetWindowTextW(window, text.data(), length + 2);
        text.resize(static_cast<size_t>(copied > 0 ? copied : 0));
        if (copied <= length) return text;
    }
    return text;  // still growing after every try: the last read
}

// The text as the window manager keeps it, read without sending the window a message: for a
// window whose thread may be stuck. Read again with more room while it fills the buffer.
inline std::wstring UnsentWindowText(HWND window) {
    std::wstring text;
    for (int room = 256; room <= (1 << 20); room *= 4) {
        text.resize(static_cast<size_t>(room));
        const int copied = InternalGetWindowText(window, text.data(), room);
        text.resize(static_cast<size_t>(copied > 0 ? copied : 0));
        if (copied < room - 1) return text;
    }
    return text;
}
