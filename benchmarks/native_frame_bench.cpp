// vantrel's native frame timing: what a frame on the POSIX path costs beyond the waits it asks
// for. Run inside "cm17a run --link PORT" with PORT as the argument (scripts/bench native does
// this). Prints figures; asserts nothing.
#include "posix_sender.h"
#include "switch_table.h"

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using vantrel::posix::port_error;

constexpr int runs = 7;
constexpr int frame_writes = 166;

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double now_ms() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

struct timings {
    const char* label;
    vantrel::frame_timings asked;
};

// One E1 ON as vantrel sends it: the port lock, open and configuration, the frame, the close.
double frame_ms(vantrel::posix::posix_sender& sender, const std::string& port, const timings& t) {
    vantrel::cli::settings options;
    options.port = port;
    options.timings = t.asked;
    const vantrel::cli::frame_order frame{"E1", true, vantrel::find_switch_code("E1ON"), "E1 ON"};
    const double start = now_ms();
    const auto sent = sender.send(frame, options);
    return sent.status == 0 ? now_ms() - start : -1;
}

// The same 84 waits as a frame, with nothing else.
double sleeps_ms(const timings& t) {
    const double start = now_ms();
    vantrel::posix::wait_ms(vantrel::wait_milliseconds(t.asked.reset_duration));
    for (int i = 0; i < 82; ++i)
        vantrel::posix::wait_ms(vantrel::wait_milliseconds(t.asked.clock_rate));
    vantrel::posix::wait_ms(vantrel::wait_milliseconds(t.asked.standby_duration));
    return now_ms() - start;
}

// 166 line writes straight to the port, plus opening and closing it once as a frame does.
double writes_ms(const std::string& port) {
    const double start = now_ms();
    vantrel::posix::serial_port p;
    port_error error;
    if (!p.open(port, error)) return -1;
    const vantrel::line_write writes[4] = {{vantrel::line::dtr, false},
                                           {vantrel::line::rts, false},
                                           {vantrel::line::rts, true},
                                           {vantrel::line::dtr, true}};
    for (int i = 0; i < frame_writes; ++i) {
        if (!p.set(writes[i % 4].which, writes[i % 4].set, error)) return -1;
    }
    p.close();
    return now_ms() - start;
}

// What each frame adds for the port lock alone: taken and given back.
double lock_us(const std::string& port, const std::string& dir) {
    constexpr int rounds = 1000;
    const double start = now_ms();
    for (int i = 0; i < rounds; ++i) {
        vantrel::posix::port_lock lock;
        port_error error;
        if (lock.acquire(port, dir, std::chrono::milliseconds(0), vantrel::posix::stop_signal,
                         error) != vantrel::posix::port_lock::outcome::locked) {
            return -1;
        }
    }
    return 1000.0 * (now_ms() - start) / rounds;
}

}  // namespace

int main(int argc, char** argv) {
    const char* port_arg = argc > 1 ? argv[1] : std::getenv("CM17A_PTY");
    char dir_name[] = "/tmp/vantrel-bench-XXXXXX";
    if (!port_arg || !mkdtemp(dir_name)) {
        std::printf("usage: native_frame_bench PORT, inside 'cm17a run' (scripts/bench native)\n");
        return 1;
    }
    const std::string port = port_arg, lock_dir = dir_name;
    std::vector<double> write_runs, lock_runs;
    for (int i = 0; i < runs; ++i) {
        write_runs.push_back(writes_ms(port));
        lock_runs.push_back(lock_us(port, lock_dir));
    }
    const double writes = median(write_runs);
    if (writes < 0 || median(lock_runs) < 0) {
        std::printf("%s does not answer as the virtual CM17A\n", port.c_str());
        std::filesystem::remove_all(lock_dir);
        return 1;
    }
    std::printf(
        "platform: 166 bare TIOCMBIS/TIOCMBIC calls with open, configuration and close: "
        "%.3f ms (%.1f us per call)\n\n",
        writes, 1000.0 * writes / frame_writes);
    std::printf("per frame: the port lock (lock file opened, flock, closed): %.2f us\n\n",
                median(lock_runs));

    vantrel::posix::posix_sender sender({lock_dir, std::chrono::milliseconds(30000)});
    const timings cases[] = {{"default (10, 10, 200)", {10, 10, 200}},
                             {"ClockRate 1 (1, 10, 200)", {1, 10, 200}},
                             {"no waits (0, 0, 0)", {0, 0, 0}}};
    std::printf("%-26s %9s %10s %10s %11s %10s %12s\n", "frame (clock, reset, standby)", "asked ms",
                "frame ms", "sleeps ms", "sleep noise", "overhead", "per write");
    for (const timings& t : cases) {
        std::vector<double> frames, sleeps, overheads;
        for (int i = 0; i < runs; ++i) {
            frames.push_back(frame_ms(sender, port, t));
            sleeps.push_back(sleeps_ms(t));
            overheads.push_back(frames.back() - sleeps.back() - writes);
        }
        const double frame = median(frames), sleep = median(sleeps);
        if (*std::min_element(frames.begin(), frames.end()) < 0) {
            std::printf("%-26s the frame failed\n", t.label);
            std::filesystem::remove_all(lock_dir);
            return 1;
        }
        const auto [lo, hi] = std::minmax_element(sleeps.begin(), sleeps.end());
        const double overhead = median(overheads);
        std::printf("%-26s %9lld %10.3f %10.3f %8.3f ms %7.3f ms %9.2f us\n", t.label,
                    vantrel::cli::asked_ms(t.asked), frame, sleep, *hi - *lo, overhead,
                    1000.0 * overhead / frame_writes);
    }
    std::printf(
        "\nmedians of %d runs; overhead = frame - bare sleeps - bare line writes, per run;\n"
        "sleep noise = spread of the bare sleeps between runs, the platform's jitter\n",
        runs);
    std::filesystem::remove_all(lock_dir);
    return 0;
}
