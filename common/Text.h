#pragma once
// Conversions at the edges of the program: internal text is UTF-16; the ANSI registry and
// snapshot functions take the system code page, converted at each call.
#include <string>
#include <string_view>

std::string ToAnsi(std::wstring_view text);
std::wstring FromAnsi(std::string_view text);
std::string ToUtf8(std::wstring_view text);
