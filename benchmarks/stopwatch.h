// The platform's high-resolution clock, for the benchmarks.
#pragma once

#include <windows.h>

inline double now_us() {
    static const LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return 1e6 * static_cast<double>(t.QuadPart) / static_cast<double>(frequency.QuadPart);
}

inline double now_ms() { return now_us() / 1000.0; }
