#pragma once
// The report of last resort for a check that ends on a crash or a hang. The full report needs
// the heap, and a control stuck inside an allocation, or faulted in one on another thread, holds
// its lock for good: the run would never end, and the remote tool waiting on it neither. So the
// error alone is also written into a fixed buffer, with nothing allocated, and a thread of its own
// writes that and ends the run when the full report has not gone out in time.
#include <windows.h>

#include <optional>
#include <string_view>

#include "Findings.h"

namespace lastword {

// The digits of value in base 10 or 16 (upper case), at least width of them, into out (room for
// 20 at least); how many. No C runtime call: the runtime allocates on a thread's first call.
size_t Digits(unsigned long long value, unsigned base, size_t width, char* out) noexcept;

// Text of at most N characters, built the same way, for what is written while the heap may be held.
template <size_t N>
class FixedText {
public:
    FixedText& operator<<(std::wstring_view text) noexcept {
        for (const wchar_t c : text) Put(c);
        return *this;
    }
    FixedText& operator<<(unsigned long long value) noexcept {
        char digits[24];
        const size_t count = Digits(value, 10, 1, digits);
        for (size_t i = 0; i < count; ++i) Put(static_cast<wchar_t>(digits[i]));
        return *this;
    }
    std::wstring_view View() const noexcept { return {text_, length_}; }

private:
    void Put(wchar_t c) noexcept {
        if (length_ < N) text_[length_++] = c;
    }
    wchar_t text_[N] = {};
    size_t length_ = 0;
};

// Readies it for a run writing to output: what is known from the start (the program, the time)
// is written now, and the thread that may write the rest starts waiting. Once per process,
// before the control is made.
void Prepare(HANDLE output, bool json, const Findings& stamped) noexcept;

// The run is ending on this error: written into the buffer with nothing allocated. When the full
// report has not claimed the output within graceMs, the buffer goes out and the process ends
// with exitCode. The first call counts.
struct Ending {
    std::wstring_view kind;
    long number;
    std::wstring_view source;
    std::wstring_view description;
    std::optional<DISPID> member;
    int exitCode;
};
inline constexpr DWORD kGraceMs = 5000;
void Arm(const Ending& ending) noexcept;

// Taken by the full report just before it goes out: false when the last word has gone instead.
bool Claim() noexcept;

}  // namespace lastword
