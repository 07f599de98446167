#include "Text.h"

#include <windows.h>

#include <climits>

namespace {

std::string FromWide(UINT codePage, std::wstring_view text) {
    if (text.empty() || text.size() > INT_MAX) return {};
    const int source = static_cast<int>(text.size());
    const int needed = WideCharToMultiByte(codePage, 0, text.data(), source, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return {};
    std::string out(static_cast<size_t>(needed), '\0');
    WideCharToMultiByte(codePage, 0, text.data(), source, out.data(), needed, nullptr, nullptr);
    return out;
}

}  // namespace

std::string ToAnsi(std::wstring_view text) { return FromWide(CP_ACP, text); }
std::string ToUtf8(std::wstring_view text) { return FromWide(CP_UTF8, text); }

std::wstring FromAnsi(std::string_view text) {
    if (text.empty() || text.size() > INT_MAX) return {};
    const int source = static_cast<int>(text.size());
    const int needed = MultiByteToWideChar(CP_ACP, 0, text.data(), source, nullptr, 0);
    if (needed <= 0) return {};
    std::wstring out(static_cast<size_t>(needed), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), source, out.data(), needed);
    return out;
}
