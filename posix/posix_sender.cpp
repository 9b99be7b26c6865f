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
void catch_stop_signals(bool hangup_stops) {
    static bool caught = false;
    if (caught) return;
    caught = true;
    struct sigaction action {};
    action.sa_handler = note_stop;  // without SA_RESTART, so that a wait ends at once
    sigemptyset(&action.sa_mask);
    for (int signal : stop_signals) sigaddset(&action.sa_mask, signal);
    for (int signal : stop_signals) {
        if (signal == SIGHUP && !hangup_stops) continue;
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

cli::send_result stopped(const std::string& what, std::size_t sent = 0) {
    const int signal = stop_signal;
    return {128 + signal, std::string("stopped by ") + signal_name(signal) + what, sent};
}

// Waits until the gap after the frame before has passed; false when a stop signal cut it short.
bool wait_until(steady_clock::time_point end) {
    const auto now = steady_clock::now();
    if (end <= now) return true;
    return wait_ms(static_cast<std::uint32_t>(
        std::chrono::ceil<std::chrono::milliseconds>(end - now).count()));
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

cli::send_result posix_sender::send(const cli::work& frames, const cli::settings& options,
                                    const cli::frame_sent& each) {
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
            return {cli::exit_port_failed, error.message};
    }
    // After each frame the CM17A is still repeating the command over the air; the lock stays
    // held until the gap has passed, so that no sender's reset cuts the repeats short. A stop
    // signal ends the wait: the frame itself was sent whole.
    const auto gap = std::chrono::milliseconds(wait_milliseconds(options.frame_gap_ms));
    cli::send_result result;
    for (const cli::frame_order& frame : frames) {
        steady_clock::time_point last_write;
        double frame_ms = 0;
        cli::send_result one = send_one(frame, options, last_write, frame_ms);
        if (one.status != cli::exit_sent) {
            one.sent = result.sent;
            return one;
        }
        ++result.sent;
        each(frame, frame_ms);
        if (!wait_until(last_write + gap) && result.sent < frames.size()) {
            return stopped(" before the frame; nothing of it was sent", result.sent);
        }
    }
    return result;
}

cli::send_result posix_sender::send_one(const cli::frame_order& frame, const cli::settings& options,
                                        steady_clock::time_point& last_write, double& frame_ms) {
    if (stop_signal) return stopped(" before the frame; nothing of it was sent");
    port_error error;
    serial_port port;
    if (!port.open(options.port, error)) return {cli::exit_port_failed, error.message};

    const auto steps = frame_steps(frame.code, options.timings);
    const auto start = steady_clock::now();
    last_write = start;
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
    frame_ms = std::chrono::duration<double, std::milli>(steady_clock::now() - start).count();
    if (done < steps.size()) {
        if (stop_signal) return stopped("; the lines are back to idle and the port is closed");
        return {cli::exit_port_failed, error.message};
    }
    return {};
}

}  // namespace vantrel::posix
