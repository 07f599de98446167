#pragma once
// Time since it was made, in milliseconds, from the performance counter: what the report says
// a call of the control took.
#include <windows.h>

class Stopwatch {
public:
    Stopwatch() noexcept { QueryPerformanceCounter(&start_); }
    double Ms() const noexcept {
        // Fixed at boot: asked once.
        static const double ticksPerMs = [] {
            LARGE_INTEGER frequency{};
            QueryPerformanceFrequency(&frequency);
            return static_cast<double>(frequency.QuadPart) / 1000.0;
        }();
        LARGE_INTEGER now{};
        QueryPerformanceCounter(&now);
        return ticksPerMs > 0 ? static_cast<double>(now.QuadPart - start_.QuadPart) / ticksPerMs : 0.0;
    }

private:
    LARGE_INTEGER start_{};
};
