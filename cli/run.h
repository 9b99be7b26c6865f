// What vantrel does with its command line, on every platform; only the sender differs.
#pragma once

#include "command_line.h"

#include <cstdio>
#include <string>
#include <vector>

namespace vantrel::cli {

constexpr int exit_sent = 0;
constexpr int exit_port_failed = 1;
constexpr int exit_bad_input = 2;

struct send_result {
    int status = exit_sent;  // otherwise the exit status: exit_port_failed, or 128 + a signal
    std::string message;     // why the frame was not sent whole
    double frame_ms = 0;     // a sent frame's wall time, from its reset to the port's close
    bool busy = false;       // another sender held the port past the lock's bound
};

// Puts frames on a port: the platform's half of vantrel.
class sender {
  public:
    virtual ~sender() = default;
    // Sends one whole frame, the port opened and closed around it and locked against other
    // senders for that time.
    virtual send_result send(const frame_order& frame, const settings& options) = 0;
};

// Runs a command line: help, version, a dry run, or the frames in order until one fails.
// env_port is VANTREL_PORT (null or empty when unset); platform_port the port without either.
int run(const std::vector<std::string>& args, const char* env_port,
        const std::string& platform_port, sender& out_port, std::FILE* out, std::FILE* err);

}  // namespace vantrel::cli
