// The CM17A line protocol as the transmitter speaks it: which line writes send a symbol, the
// line configuration that hands DTR and RTS to the program, and how a timing becomes a wait.
#pragma once

#include <cstdint>
#include <vector>

namespace vantrel {

enum class line : std::uint8_t { dtr, rts };

struct line_write {
    line which;
    bool set;  // true asserts the line, false clears it
};

// The writes that put a symbol on the lines, in order: " " both set (RTS first), "0" DTR set
// and RTS cleared, "1" RTS set and DTR cleared. Any other character writes nothing.
struct symbol_writes {
    line_write writes[2];
    int count;
};
symbol_writes data_phase(char symbol) noexcept;

// After each symbol's first wait the lines go back to idle: RTS set, then DTR set. This order
// keeps the two lines from being cleared together, which the CM17A reads as a reset.
inline constexpr line_write idle_phase[2] = {{line::rts, true}, {line::dtr, true}};

// The serial line's flag word with flow control off and DTR and RTS enabled, so that both are
// raised when the configuration is applied and belong to the program afterwards. Only the low
// 16 bits change.
std::uint32_t rewrite_line_flags(std::uint32_t flags) noexcept;

// A timing value in milliseconds as a wait: negative values wait nothing rather than being
// read as an unsigned count (-1 would otherwise be an endless wait with the lock held).
std::uint32_t wait_milliseconds(std::int32_t value) noexcept;

// The three timings of a frame in milliseconds, as a client sets them. The initial values are
// the defaults of a new CommAds object and of vantrel.
struct frame_timings {
    std::int32_t clock_rate = 10;
    std::int32_t reset_duration = 10;
    std::int32_t standby_duration = 200;
};

// How long a sender waits for another sender's frame on the same port, on every system: a
// default frame takes about 1 s, so a queue of some thirty frames may go first, yet a holder
// that hangs makes the others fail instead of stalling them.
inline constexpr std::uint32_t port_lock_timeout_ms = 30000;

// The milliseconds of waiting that a frame asks for: reset + 82 x clock + standby.
long long asked_ms(const frame_timings& timings) noexcept;

// One step of a frame: a line write, or a wait of wait_ms milliseconds.
struct frame_step {
    bool is_wait;
    line_write write;  // unused for a wait
    std::uint32_t wait_ms;
};

// A whole frame for a 16-symbol command code, in the order a sender takes it: the reset (DTR
// then RTS cleared, the reset wait), then per symbol of header, code and footer its data
// writes, a clock wait, the return to idle and a clock wait; last the standby wait. That is
// 166 writes and 84 waits. A code that is not 16 symbols "0"/"1" gives no steps, so a sender
// never puts a frame of the wrong length on the lines.
std::vector<frame_step> frame_steps(const char* code, const frame_timings& timings);

}  // namespace vantrel
