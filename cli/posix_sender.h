// vantrel's sender on POSIX systems: each frame's steps on the port's modem lines, with the
// port lock around it and the stop signals watched.
#pragma once

#include "posix_port.h"
#include "run.h"

#include <chrono>
#include <csignal>
#include <cstdint>
#include <string>

namespace vantrel::posix {

// The first stop signal that arrived (SIGINT, SIGTERM or SIGHUP), or 0; it never changes once
// set. One that the process started with ignored is never caught.
extern volatile std::sig_atomic_t stop_signal;

// Catches the stop signals from now on (once per process).
void catch_stop_signals();

// Waits ms milliseconds at least, as each wait of a frame does; false when a stop signal cut
// the wait short.
bool wait_ms(std::uint32_t ms);

struct lock_settings {
    std::string dir = "/var/lock";
    std::chrono::milliseconds timeout{port_lock_timeout_ms};
};

class posix_sender : public cli::sender {
  public:
    explicit posix_sender(lock_settings lock) : lock_(std::move(lock)) {}
    // Catches the stop signals from the first frame on. A stop signal ends the frame in
    // progress within moments: the lines go back to idle (never left both cleared, the
    // reset state), the port is closed, and the result's status is 128 + the signal.
    cli::send_result send(const cli::frame_order& frame, const cli::settings& options) override;

  private:
    lock_settings lock_;
};

}  // namespace vantrel::posix
