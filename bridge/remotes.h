// X10 remotes heard through rtl_433: its events read, and the bridge's own transmissions (and
// a remote's repeats of one press) told apart from new presses.
#pragma once

#include "command_line.h"

#include <chrono>
#include <deque>
#include <mutex>
#include <string>

namespace vantrel::mqtt {

// Reads one event that rtl_433 published. True with the command heard for an X10 RF event;
// false for another device's event (why empty) or for a malformed one (why says what is wrong).
bool read_remote_event(const std::string& payload, cli::frame_order& heard, std::string& why);

// What went over the air lately: the frames this bridge sent, and the command heard last.
class airwaves {
  public:
    using clock = std::chrono::steady_clock;
    // How long after a frame is whole the receiver may still report it (the CM17A's radio
    // repeats during the gap, and the way through rtl_433 and the broker).
    void echo(std::chrono::milliseconds window);
    void sent(const std::string& label, clock::time_point at = clock::now());
    // Whether a command heard now is new: neither this bridge's own frame heard back nor a
    // repeat of the press heard just before (a remote sends each press several times, and
    // rtl_433 reports each).
    bool new_press(const std::string& label, clock::time_point at = clock::now());

  private:
    std::chrono::milliseconds echo_{0};
    std::mutex lock_;
    std::deque<std::pair<std::string, clock::time_point>> sent_;
    std::string last_heard_;
    clock::time_point last_heard_at_{};
};

}  // namespace vantrel::mqtt
