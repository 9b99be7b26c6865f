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

// Catches the stop signals from now on (once per process). Without hangup_stops, SIGHUP is left
// to the caller, as the MQTT bridge takes it for "read the configuration again".
void catch_stop_signals(bool hangup_stops = true);

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
    // Catches the stop signals from the first frame on. The port lock is held from the first
    // frame of the work to the end of the last one's gap, so that no other sender's frame
    // comes between them. A stop signal ends the frame in progress within moments: the lines
    // go back to idle (never left both cleared, the reset state), the port is closed, and the
    // result's status is 128 + the signal.
    cli::send_result send(const cli::work& frames, const cli::settings& options,
                          const cli::frame_sent& each) override;

  private:
    // One frame on a locked port; on success, last_write is the time of its last line write.
    cli::send_result send_one(const cli::frame_order& frame, const cli::settings& options,
                              std::chrono::steady_clock::time_point& last_write,
                              double& frame_ms);
    lock_settings lock_;
};

}  // namespace vantrel::posix
