// The commands waiting for the sender, in arrival order, with a bound. The queue never ends on a
// state that was not the last one asked for: a unit's new ON or OFF replaces its command still
// waiting, and when the queue is full a waiting BRIGHT or DIM (relative steps, which a later
// press repeats) makes room for it. A unit's command is kept in place while a BRIGHT or DIM of
// its house comes after it, since those act on the house's last addressed lamp.
#pragma once

#include "commands.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace vantrel::mqtt {

class command_queue {
  public:
    static constexpr std::size_t default_limit = 256;
    explicit command_queue(std::size_t limit = default_limit) : limit_(limit) {}

    struct outcome {
        bool taken = false;
        std::string replaced;  // the waiting command that this one replaced
        std::string joined;    // the waiting steps that this one's steps were added to
        std::string dropped;   // a command dropped for it: a waiting BRIGHT/DIM, or this one
        std::size_t dropped_so_far = 0;
    };
    outcome push(command c);
    // Waits up to wait for the first command; false when none came or wake() was called.
    bool pop(command& out, std::chrono::milliseconds wait);
    // Ends a pop() in progress at once.
    void wake();
    // Takes every waiting command away, in order.
    std::vector<command> take_all();
    std::size_t limit() const { return limit_; }

  private:
    const std::size_t limit_;
    std::mutex lock_;
    std::condition_variable ready_;
    std::deque<command> waiting_;
    std::size_t dropped_ = 0;
    bool woken_ = false;
};

}  // namespace vantrel::mqtt
