#pragma once
// Who the stand-in is: the class, its ProgID, its members and its OLE status bits. Clients
// know the control by these values only, so they never change.
#include <windows.h>
#include <oleidl.h>

namespace standin {

// {CDD9DE31-FF13-4496-BAD9-9F4189D51272}
inline constexpr CLSID kClsidVbFunzioni = {
    0xCDD9DE31, 0xFF13, 0x4496, {0xBA, 0xD9, 0x9F, 0x41, 0x89, 0xD5, 0x12, 0x72}};
inline constexpr char kClsidText[] = "{CDD9DE31-FF13-4496-BAD9-9F4189D51272}";
inline constexpr char kProgIdText[] = "TALVO_VB6.VbFunzioni";
inline constexpr char kFriendlyName[] = "VbFunzioni stand-in control";

// The members' DISPIDs, as the programs that use the control have them compiled in.
inline constexpr DISPID kDispidLocalIp = 0x60030001;
inline constexpr DISPID kDispidMacAddress = 0x60030002;
inline constexpr DISPID kDispidPelloraStatus = 0x60030005;

// A windowed control that is active whenever it is visible and needs its site before it
// loads; registered under MiscStatus\1 and answered by IOleObject::GetMiscStatus alike.
inline constexpr DWORD kMiscStatusContent = OLEMISC_RECOMPOSEONRESIZE | OLEMISC_CANTLINKINSIDE | OLEMISC_INSIDEOUT |
                                            OLEMISC_ACTIVATEWHENVISIBLE | OLEMISC_SETCLIENTSITEFIRST;
static_assert(kMiscStatusContent == 131473);

// What the control paints in its window and through IViewObject::Draw.
inline constexpr wchar_t kFaceText[] = L"VbFunzioni stand-in";

}  // namespace standin
