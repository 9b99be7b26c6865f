// The vantrel command line, the same on every platform: its options, the frames that a command
// names, and the texts that describe them. Nothing here touches a port.
#pragma once

#include "frame.h"

#include <string>
#include <vector>

namespace vantrel::cli {

// One frame to send: a row of the switch table, also as the id and value that CommAds::On takes.
struct frame_order {
    std::string id;              // "E1"; a house letter alone for BRIGHT and DIM
    bool on = true;              // for a house: BRIGHT when true, DIM when false
    const char* code = nullptr;  // the row's 16 symbols
    std::string label;           // what the CM17A reads: "E1 ON", "E DIM"
};

// After each frame the CM17A repeats the command over the air about five times, some 110 ms
// apart: about half a second of radio, which a reset (the next frame's start) cuts short. So
// the next frame on a port starts no sooner than this after the last symbol, standby included.
inline constexpr std::int32_t default_frame_gap_ms = 850;

struct settings {
    std::string port;
    frame_timings timings;
    std::int32_t frame_gap_ms = default_frame_gap_ms;
    bool dry_run = false;
    bool verbose = false;
};

// Frames sent as one unit: a house's BRIGHT or DIM count. Each unit of a list is a work of its
// own, since it does not depend on what came before it.
using work = std::vector<frame_order>;

enum class request { send, help, version };

struct command {
    request what = request::send;
    settings options;
    std::vector<work> works;  // in sending order, repeats included
};

// Reads the arguments that follow the program's name. default_port is the port when --port is
// not given. Returns the message for bad input, or an empty string. Every switch of a list is
// checked here, so a command with one bad unit sends nothing at all.
std::string parse_command_line(const std::vector<std::string>& args,
                               const std::string& default_port, command& out);

// The frame of a unit id as the table spells it ("E1"), and of a house's BRIGHT or DIM command.
// code is null when the table has no such row.
frame_order unit_frame(const std::string& id, bool on);
frame_order house_frame(char house, bool bright);

// A whole decimal number from 0 to max: digits only, so signs, blanks and fractions are refused.
bool parse_number(const std::string& text, long long max, long long& value);

// Text from the command line as a message shows it: one "?" for each character that is not
// printable ASCII (a UTF-8 character counts once), and at most 16 characters.
std::string shown(const std::string& text);

std::string usage(const std::string& default_port);

// "E1 ON     symbols " 1101010110101010" 1000000000000000 10101101".
std::string describe(const frame_order& frame);

}  // namespace vantrel::cli
