// What vantrel does with its command line, on every platform; only the sender differs.
#pragma once

#include "command_line.h"

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace vantrel::cli {

constexpr int exit_sent = 0;
constexpr int exit_port_failed = 1;
constexpr int exit_bad_input = 2;

struct send_result {
    int status = exit_sent;  // otherwise the exit status: exit_port_failed, or 128 + a signal
    std::string message;     // why the frame after the last one sent was not sent whole
    std::size_t sent = 0;    // the frames of the work sent whole, from its first
    bool busy = false;       // another sender held the port past the lock's bound
};

// The frame of w that result failed on, for a message: its label, and where it stands in a work
// of several frames ("E DIM (frame 4 of 5)"), so that nobody reads the work as not sent at all.
std::string failed_frame(const work& w, const send_result& result);

// Told of each frame of a work as soon as it has been sent whole, with its wall time from its
// reset to the port's close.
using frame_sent = std::function<void(const frame_order& frame, double frame_ms)>;

// Puts frames on a port: the platform's half of vantrel.
class sender {
  public:
    virtual ~sender() = default;
    // Sends one work: its frames in order, each whole, the port opened and closed around each.
    // Where the platform allows, no other sender's frame comes between them: a BRIGHT or DIM
    // count acts on the lamp that was addressed before it. Stops at the first frame that
    // fails.
    virtual send_result send(const work& frames, const settings& options,
                             const frame_sent& each) = 0;
};

// Runs a command line: help, version, a dry run, or the works in order until one fails.
// env_port is VANTREL_PORT (null or empty when unset); platform_port the port without either.
int run(const std::vector<std::string>& args, const char* env_port,
        const std::string& platform_port, sender& out_port, std::FILE* out, std::FILE* err);

}  // namespace vantrel::cli
