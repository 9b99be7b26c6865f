// vantrel's native frame timing: what a frame on the POSIX path costs beyond the waits it asks
// for. Run inside "cm17a run --link PORT" with PORT as the argument (scripts/bench native does
// this). Prints figures; asserts nothing.
#include "frame_table.h"
#include "posix_sender.h"
#include "switch_table.h"

#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

using bench::frame_writes;
using bench::runs;

namespace {

using vantrel::posix::port_error;

// One E1 ON as vantrel sends it: the port lock, open and configuration, the frame, the close.
double frame_ms(vantrel::posix::posix_sender& sender, const std::string& port,
                const bench::frame_case& c) {
    vantrel::cli::settings options;
    options.port = port;
    options.timings = c.asked;
    options.frame_gap_ms = 0;  // the frame alone, not the radio's time after it
    const vantrel::cli::frame_order frame{"E1", true, vantrel::find_switch_code("E1ON"), "E1 ON"};
    const double start = now_ms();
    const auto sent = sender.send({frame}, options, [](const vantrel::cli::frame_order&, double) {});
    return sent.status == 0 ? now_ms() - start : -1;
}

// The same 84 waits as a frame, with nothing else.
double sleeps_ms(const bench::frame_case& c) {
    const double start = now_ms();
    vantrel::posix::wait_ms(vantrel::wait_milliseconds(c.asked.reset_duration));
    for (int i = 0; i < 82; ++i)
        vantrel::posix::wait_ms(vantrel::wait_milliseconds(c.asked.clock_rate));
    vantrel::posix::wait_ms(vantrel::wait_milliseconds(c.asked.standby_duration));
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

    vantrel::posix::posix_sender sender({lock_dir, std::chrono::milliseconds(vantrel::port_lock_timeout_ms)});
    const bool sent = bench::print_frame_table(
        writes, [&](const bench::frame_case& c) { return frame_ms(sender, port, c); }, sleeps_ms);
    std::filesystem::remove_all(lock_dir);
    return sent ? 0 : 1;
}
