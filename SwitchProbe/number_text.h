// Whole numbers as the console's timing boxes hold them.
#pragma once

#include <cstdint>
#include <string>

namespace switchprobe {

// Decimal integer text in the signed 32-bit range, with an optional sign and surrounding
// blanks; anything else (empty, fractions, separators, out of range) is refused.
bool parse_int32(const std::wstring& text, std::int32_t* value);

}  // namespace switchprobe
