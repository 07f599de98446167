#pragma once
// What the control looks like: the same short text in its in-place window and in any DC
// a container hands to IViewObject::Draw.
#include <windows.h>

namespace standin {

void PaintFace(HDC dc, const RECT& bounds) noexcept;

// A visible child of parent at rect (parent client coordinates); nullptr on failure.
// The window class is registered by the first call in this DLL instance.
HWND CreateFaceWindow(HWND parent, const RECT& rect) noexcept;

// At DLL unload, so a later load of the DLL can register the class again.
void UnregisterFaceWindowClass() noexcept;

}  // namespace standin
