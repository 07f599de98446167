#pragma once
// The screen's DPI, where a window has not been made for another.
#include <windows.h>

#include "Unique.h"

inline int ScreenDpi() noexcept {
    const unique_screen_dc screen(GetDC(nullptr));
    const int dpi = screen ? GetDeviceCaps(screen.get(), LOGPIXELSY) : 96;
    return dpi > 0 ? dpi : 96;
}
