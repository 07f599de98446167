#include "Text.h"

#include <windows.h>

#include <algorithm>
#include <climits>

#include "GrowingBuffer.h"

namespace {

// One call when the text fits the first guess (plain ASCII does); else the call that
// measures, then the one that converts.
std::string FromWide(UINT codePage, std::wstring_view text) {
    if (text.empty() || text.size() > INT_MAX) return {};
    const int source = static_cast<int>(text.size());
    const auto out = FillGrowing<char>(
        [&](char* buffer, size_t capacity) -> std::optional<size_t> {
            const int size = static_cast<int>(std::min<size_t>(capacity, INT_MAX));
            int length = WideCharToMultiByte(codePage, 0, text.data(), source, buffer, size, nullptr, nullptr);
            if (length > 0) return static_cast<size_t>(length);
            if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return std::nullopt;
            length = WideCharToMultiByte(codePage, 0, text.data(), source, nullptr, 0, nullptr, nullptr);
            if (length <= 0) return std::nullopt;
            return static_cast<size_t>(length);
        },
        text.size(), INT_MAX);
    return out.value_or(std::string());
}

}  // namespace

std::string ToAnsi(std::wstring_view text) { return FromWide(CP_ACP, text); }
std::string ToUtf8(std::wstring_view text) { return FromWide(CP_UTF8, text); }

// A character never takes more UTF-16 units than it took bytes: one call does.
std::wstring FromAnsi(std::string_view text) {
    if (text.empty() || text.size() > INT_MAX) return {};
    const int source = static_cast<int>(text.size());
    const auto out = FillGrowing<wchar_t>(
        [&](wchar_t* buffer, size_t capacity) -> std::optional<size_t> {
            const int size = static_cast<int>(std::min<size_t>(capacity, INT_MAX));
            int length = MultiByteToWideChar(CP_ACP, 0, text.data(), source, buffer, size);
            if (length > 0) return static_cast<size_t>(length);
            if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return std::nullopt;
            length = MultiByteToWideChar(CP_ACP, 0, text.data(), source, nullptr, 0);
            if (length <= 0) return std::nullopt;
            return static_cast<size_t>(length);
        },
        text.size(), INT_MAX);
    return out.value_or(std::wstring());
}
