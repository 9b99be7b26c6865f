#include "posix_sender.h"

#include <time.h>

#include <algorithm>

namespace vantrel::posix {

volatile std::sig_atomic_t stop_signal = 0;

namespace {

using std::chrono::steady_clock;

constexpr int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};

// The first stop signal alone decides the message and the exit status; the handler blocks the
// other stop signals while it runs, so that no second one can slip in between test and set.
void note_stop(int signal) {
    if (!stop_signal) stop_signal = signal;
}

}  // namespace

// A stop signal that the process started with ignored stays ignored: nohup and a script's
// trap "" asked for that, as does a shell for a command it started in the background.
void catch_stop_signals() {
    static bool caught = false;
    if (caught) return;
    caught = true;
    struct sigaction action {};
    action.sa_handler = note_stop;  // without SA_RESTART, so that a wait ends at once
    sigemptyset(&action.sa_mask);
    for (int signal : stop_signals) sigaddset(&action.sa_mask, signal);
    for (int signal : stop_signals) {
        struct sigaction inherited {};
        if (sigaction(signal, nullptr, &inherited) == 0 && inherited.sa_handler == SIG_IGN)
            continue;
        sigaction(signal, &action, nullptr);
    }
}

namespace {

const char* signal_name(int signal) {
    switch (signal) {
        case SIGINT:
            return "SIGINT";
        case SIGTERM:
            return "SIGTERM";
        default:
            return "SIGHUP";
    }
}

cli::send_result stopped(const std::string& what) {
    const int signal = stop_signal;
    return {128 + signal, std::string("stopped by ") + signal_name(signal) + what, 0};
}

}  // namespace

// Slept in slices, so that a signal arriving just before a slice began is seen within one
// slice rather than at the end of the wait.
bool wait_ms(std::uint32_t ms) {
    const auto deadline = steady_clock::now() + std::chrono::milliseconds(ms);
    constexpr auto slice = std::chrono::milliseconds(20);
    for (;;) {
        if (stop_signal) return false;
        const auto left = deadline - steady_clock::now();
        if (left <= steady_clock::duration::zero()) return true;
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::min<steady_clock::duration>(left, slice));
        const timespec span{0, static_cast<long>(ns.count())};
        nanosleep(&span, nullptr);
    }
}

cli::send_result posix_sender::send(const cli::frame_order& frame, const cli::settings& options) {
    catch_stop_signals();
    if (stop_signal) return stopped(" before the frame; nothing of it was sent");
    port_error error;
    port_lock lock;
    switch (lock.acquire(options.port, lock_.dir, lock_.timeout, stop_signal, error)) {
        case port_lock::outcome::locked:
            break;
        case port_lock::outcome::interrupted:
            return stopped(" while waiting for " + options.port + "; nothing of it was sent");
        case port_lock::outcome::timed_out:
            return {cli::exit_port_failed, error.message, 0, true};
        default:
            return {cli::exit_port_failed, error.message, 0};
    }
    serial_port port;
    if (!port.open(options.port, error)) return {cli::exit_port_failed, error.message, 0};

    const auto steps = frame_steps(frame.code, options.timings);
    const auto start = steady_clock::now();
    auto last_write = start;
    std::size_t done = 0;
    for (; done < steps.size(); ++done) {
        const frame_step& step = steps[done];
        if (step.is_wait ? !wait_ms(step.wait_ms)
                         : stop_signal || !port.set(step.write.which, step.write.set, error)) {
            break;
        }
        if (!step.is_wait) last_write = steady_clock::now();
    }
    if (done < steps.size()) {
        // Back to idle as after every symbol, RTS then DTR; a failure here changes nothing
        // more about the outcome.
        port_error ignored;
        for (const line_write& w : idle_phase) port.set(w.which, w.set, ignored);
    }
    port.close();
    const std::chrono::duration<double, std::milli> took = steady_clock::now() - start;
    if (done < steps.size()) {
        if (stop_signal) return stopped("; the lines are back to idle and the port is closed");
        return {cli::exit_port_failed, error.message, 0};
    }
    // The CM17A is still repeating the command over the air; the lock stays held until the gap
    // has passed, so that no sender's reset cuts the repeats short. A stop signal ends the wait:
    // the frame itself was sent whole.
    const auto gap_end =
        last_write + std::chrono::milliseconds(wait_milliseconds(options.frame_gap_ms));
    const auto now = steady_clock::now();
    if (gap_end > now) {
        wait_ms(static_cast<std::uint32_t>(
            std::chrono::ceil<std::chrono::milliseconds>(gap_end - now).count()));
    }
    return {cli::exit_sent, {}, took.count()};
}

}  // namespace vantrel::posix
