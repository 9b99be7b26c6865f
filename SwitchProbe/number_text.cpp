#include "number_text.h"

namespace switchprobe {

bool parse_int32(const std::wstring& text, std::int32_t* value) {
    std::size_t i = 0, end = text.size();
    while (i < end && (text[i] == L' ' || text[i] == L'\t')) ++i;
    while (end > i && (text[end - 1] == L' ' || text[end - 1] == L'\t')) --end;
    bool negative = false;
    if (i < end && (text[i] == L'-' || text[i] == L'+')) negative = text[i++] == L'-';
    if (i == end) return false;
    // Accumulated as a negative number, whose range includes INT32_MIN.
    const std::int64_t limit = negative ? -2147483648LL : -2147483647LL;
    std::int64_t n = 0;
    for (; i < end; ++i) {
        if (text[i] < L'0' || text[i] > L'9') return false;
        n = n * 10 - (text[i] - L'0');
        if (n < limit) return false;
    }
    *value = static_cast<std::int32_t>(negative ? n : -n);
    return true;
}

}  // namespace switchprobe
