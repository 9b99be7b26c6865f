// The receiving half of the CM17A line protocol: turns the recorded line writes of a serial
// port into the frames and X10 commands that a CM17A would have read, with the waits taken.
//
// Written from the line protocol alone (reset, header, code, footer on DTR and RTS), so that
// a fault in the transmitter shows up here instead of being mirrored.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cm17a {

// One line of the trace that the modem-line shim writes.
struct event {
    long seq = 0;         // number of the line write (FAIL included)
    long long t_ns = 0;   // monotonic time
    std::string kind;     // DTR+ DTR- RTS+ RTS- SET FAIL CLOSE
    bool dtr = false;     // levels after the event
    bool rts = false;
    bool is_write() const { return kind != "CLOSE"; }
};

std::vector<event> parse_trace(const std::string& text);

// One opening of the port, up to its close (or the end of the trace).
struct session {
    std::vector<event> writes;      // every line write of the session, in order
    bool closed = false;
    long long close_t_ns = 0;

    // The frame, counted from the first write of the reset (both lines cleared).
    bool has_frame = false;
    std::size_t frame_start = 0;    // index into writes
    std::size_t frame_writes = 0;   // writes from the reset to the end of the session
    bool failed_write = false;      // a write of the session failed
    std::string bits;               // every bit read after the device powered up
    bool complete = false;          // 40 bits: header 0xD5AA, 16 code bits, footer 0xAD
    std::uint16_t code = 0;
    std::string name;               // the switch name, "E1ON" or "EOFF"; empty if not a command
    std::string meaning;            // "E1 ON", "E BRIGHT"; empty if not a command

    // Waits actually taken, in nanoseconds: after the reset; after each phase of each symbol
    // (two per symbol; the last symbol's second wait runs into the standby); and from the
    // last write to the close (last clock wait plus standby).
    long long reset_wait_ns = -1;
    std::vector<long long> clock_waits_ns;
    long long tail_wait_ns = -1;
    long long frame_ns = -1;        // first reset write to close
};

std::vector<session> decode(const std::vector<event>& events);

// The X10 command carried by a 16-bit CM17A code, or empty strings for none.
std::string command_name(std::uint16_t code);     // "A1ON", "PON"
std::string command_meaning(std::uint16_t code);  // "A1 ON", "P BRIGHT"

}  // namespace cm17a
