// The table that both frame benchmarks print, for CommAds under Wine and for vantrel's POSIX
// sender alike: each case's frame against the same waits slept bare, and what is left once the
// bare line writes are taken off too.
#pragma once

#include "frame.h"
#include "stopwatch.h"

#include <cstdio>
#include <vector>

namespace bench {

constexpr int runs = 7;
constexpr int frame_writes = 166;

struct frame_case {
    const char* label;
    vantrel::frame_timings asked;
};
inline const frame_case frame_cases[] = {{"default (10, 10, 200)", {10, 10, 200}},
                                         {"ClockRate 1 (1, 10, 200)", {1, 10, 200}},
                                         {"no waits (0, 0, 0)", {0, 0, 0}}};

// frame_ms(case) and sleeps_ms(case) give one run's milliseconds, frame_ms a negative value
// when the frame failed; writes_ms is the bare line writes' median. False when a frame failed.
template <class Frame, class Sleeps>
bool print_frame_table(double writes_ms, Frame frame_ms, Sleeps sleeps_ms) {
    std::printf("%-26s %9s %10s %10s %11s %10s %12s\n", "frame (clock, reset, standby)", "asked ms",
                "frame ms", "sleeps ms", "sleep noise", "overhead", "per write");
    for (const frame_case& c : frame_cases) {
        std::vector<double> frames, sleeps, overheads;
        for (int i = 0; i < runs; ++i) {
            frames.push_back(frame_ms(c));
            sleeps.push_back(sleeps_ms(c));
            overheads.push_back(frames.back() - sleeps.back() - writes_ms);
        }
        if (*std::min_element(frames.begin(), frames.end()) < 0) {
            std::printf("%-26s the frame failed\n", c.label);
            return false;
        }
        const auto [lo, hi] = std::minmax_element(sleeps.begin(), sleeps.end());
        const double overhead = median(overheads);
        std::printf("%-26s %9lld %10.3f %10.3f %8.3f ms %7.3f ms %9.2f us\n", c.label,
                    vantrel::asked_ms(c.asked), median(frames), median(sleeps), *hi - *lo, overhead,
                    1000.0 * overhead / frame_writes);
    }
    std::printf(
        "\nmedians of %d runs; overhead = frame - bare sleeps - bare line writes, per run;\n"
        "sleep noise = spread of the bare sleeps between runs, the platform's jitter\n",
        runs);
    return true;
}

}  // namespace bench
