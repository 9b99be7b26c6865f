#include "frame.h"

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

}  // namespace vantrel
