#pragma once
// Time since it was made, in milliseconds, from the performance counter: what the report says
// a call of the control took.
#include <windows.h>

class Stopwatch {
public:
    Stopwatch() noexcept { QueryPerformanceCounter(&start_); }
    double Ms() const noexcept {
        LARGE_INTEGER now{}, frequency{};
        QueryPerformanceCounter(&now);
        QueryPerformanceFrequency(&frequency);
        return frequency.QuadPart > 0 ? static_cast<double>(now.QuadPart - start_.QuadPart) * 1000.0 /
                                            static_cast<double>(frequency.QuadPart)
                                      : 0.0;
    }

private:
    LARGE_INTEGER start_{};
};
