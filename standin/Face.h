#pragma once
// What the control looks like: the same short text in its in-place window and in any DC
// a container hands to IViewObject::Draw.
#include <windows.h>

namespace standin {

void PaintFace(HDC dc, const RECT& bounds) noexcept;

// What the face window tells the control that made it.
class FaceEvents {
public:
    // The face's edit box got the focus (a click, a Tab, SetFocus by the container).
    virtual void OnEditFocus() noexcept = 0;

protected:
    ~FaceEvents() = default;
};

// A visible child of parent at rect (parent client coordinates); nullptr on failure.
// The window class is registered by the first call in this DLL instance. events, when
// given, must outlive the window.
HWND CreateFaceWindow(HWND parent, const RECT& rect, FaceEvents* events = nullptr) noexcept;

// An edit box filling the face window, and kept filling it; the face passes its focus on
// to it. nullptr on failure.
HWND AddFaceEdit(HWND face) noexcept;

// At DLL unload, so a later load of the DLL can register the class again.
void UnregisterFaceWindowClass() noexcept;

}  // namespace standin
