// The 544 X10 commands that a CM17A can send, by switch name, and the frame texts around them.
#pragma once

#include <array>
#include <cstddef>

namespace vantrel {

struct switch_command {
    char name[7];   // "A1ON" ... "P16OFF", "AON", "POFF"
    char code[17];  // 16 symbols "0"/"1", most significant bit first
};

inline constexpr std::size_t switch_count = 544;

// A blank, then 0xD5AA; and 0xAD. Every frame is header + code + footer: 41 symbols.
inline constexpr char frame_header[] = " 1101010110101010";
inline constexpr char frame_footer[] = "10101101";

// Houses A to P; per house units 1 to 16 (ON before OFF), then the house's ON and OFF rows.
const std::array<switch_command, switch_count>& switch_table() noexcept;

// The code of the row whose name equals key byte for byte, or nullptr.
const char* find_switch_code(const char* key) noexcept;

}  // namespace vantrel
