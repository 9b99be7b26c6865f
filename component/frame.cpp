#include "frame.h"
#include "switch_table.h"

#include <cstring>

namespace vantrel {

symbol_writes data_phase(char symbol) noexcept {
    switch (symbol) {
        case ' ':
            return {{{line::rts, true}, {line::dtr, true}}, 2};
        case '0':
            return {{{line::dtr, true}, {line::rts, false}}, 2};
        case '1':
            return {{{line::rts, true}, {line::dtr, false}}, 2};
        default:
            return {{}, 0};
    }
}

std::uint32_t rewrite_line_flags(std::uint32_t flags) noexcept {
    const std::uint32_t low = ((flags & 0x9093u) | 0x1090u) & 0xFFFFu;
    return (flags & 0xFFFF0000u) | low;
}

std::uint32_t wait_milliseconds(std::int32_t value) noexcept {
    return value < 0 ? 0u : static_cast<std::uint32_t>(value);
}

long long asked_ms(const frame_timings& timings) noexcept {
    return static_cast<long long>(wait_milliseconds(timings.reset_duration)) +
           82LL * wait_milliseconds(timings.clock_rate) +
           wait_milliseconds(timings.standby_duration);
}

std::vector<frame_step> frame_steps(const char* code, const frame_timings& timings) {
    constexpr std::size_t code_symbols = 16;
    if (!code || std::strlen(code) != code_symbols || std::strspn(code, "01") != code_symbols) {
        return {};
    }
    const std::uint32_t clock = wait_milliseconds(timings.clock_rate);
    std::vector<frame_step> steps;
    auto write = [&](const line_write& w) { steps.push_back({false, w, 0}); };
    auto wait = [&](std::uint32_t ms) { steps.push_back({true, {}, ms}); };

    write({line::dtr, false});
    write({line::rts, false});
    wait(wait_milliseconds(timings.reset_duration));
    for (const char* part :
         {static_cast<const char*>(frame_header), code, static_cast<const char*>(frame_footer)}) {
        for (const char* symbol = part; *symbol; ++symbol) {
            const symbol_writes data = data_phase(*symbol);
            for (int i = 0; i < data.count; ++i) write(data.writes[i]);
            wait(clock);
            for (const line_write& w : idle_phase) write(w);
            wait(clock);
        }
    }
    wait(wait_milliseconds(timings.standby_duration));
    return steps;
}

}  // namespace vantrel
