#pragma once
// Text from a call that fills a caller's buffer and says how much it needed: the buffer grows
// to what the call asked for and the call runs again, a bounded number of times.
#include <windows.h>

#include <cstddef>
#include <optional>
#include <string>

// fill(buffer, capacity) writes at most capacity characters into buffer and answers the
// length of its whole result without a terminating NUL: up to capacity, the buffer holds it;
// more, and the call wants a buffer of that many characters. Nothing is a failure; so is a
// call that keeps asking for more, or for more than maxChars.
template <typename Char, typename Fill>
std::optional<std::basic_string<Char>> FillGrowing(Fill&& fill, size_t initialChars, size_t maxChars) {
    std::basic_string<Char> text(initialChars == 0 ? 1 : initialChars, Char{});
    for (int attempt = 0; attempt < 16; ++attempt) {
        const std::optional<size_t> length = fill(text.data(), text.size());
        if (!length) return std::nullopt;
        if (*length <= text.size()) {
            text.resize(*length);
            return text;
        }
        if (*length > maxChars) return std::nullopt;
        text.resize(*length);
    }
    return std::nullopt;
}

// Paths the system gives: a long path ("\\?\") is at most 32767 characters.
inline constexpr size_t kMaxPathChars = 32768;

// For the calls that answer the length written (without the NUL) when the buffer held it,
// and the size needed with the NUL when it did not: GetSystemDirectoryW, GetFullPathNameW,
// GetWindowsDirectoryW and the like.
template <typename Call>
std::optional<std::wstring> PathFrom(Call&& call) {
    return FillGrowing<wchar_t>(
        [&](wchar_t* buffer, size_t capacity) -> std::optional<size_t> {
            const auto length = static_cast<size_t>(call(buffer, static_cast<DWORD>(capacity)));
            if (length == 0) return std::nullopt;
            return length;  // above capacity: the size it needs, NUL counted
        },
        260, kMaxPathChars);
}

// The file a loaded module came from (null: the program). GetModuleFileNameW cuts a path that
// does not fit at the buffer's size without saying the size it needs: the buffer doubles.
inline std::optional<std::wstring> ModulePath(HMODULE module) {
    return FillGrowing<wchar_t>(
        [&](wchar_t* buffer, size_t capacity) -> std::optional<size_t> {
            const DWORD length = GetModuleFileNameW(module, buffer, static_cast<DWORD>(capacity));
            if (length == 0) return std::nullopt;
            return length < capacity ? length : capacity * 2;
        },
        MAX_PATH, kMaxPathChars);
}
