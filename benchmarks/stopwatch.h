// A high-resolution clock and the median, for the benchmarks.
#pragma once

#include <algorithm>
#include <vector>

#ifdef _WIN32
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
#else
#include <chrono>

inline double now_us() {
    using namespace std::chrono;
    return duration<double, std::micro>(steady_clock::now().time_since_epoch()).count();
}
#endif

inline double now_ms() { return now_us() / 1000.0; }

inline double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}
