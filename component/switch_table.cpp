#include "switch_table.h"

#include <cstring>

namespace vantrel {
namespace {

constexpr char house_letters[] = "ABCDEFGHIJKLMNOP";
// X10 house codes in the order of house_letters.
constexpr const char* house_codes[16] = {"0110", "0111", "0100", "0101", "1000", "1001",
                                         "1010", "1011", "1110", "1111", "1100", "1101",
                                         "0000", "0001", "0010", "0011"};

constexpr void put_text(char* out, const char* text) {
    while ((*out++ = *text++) != '\0') {
    }
}

constexpr switch_command unit_row(int house, int unit, bool off) {
    switch_command row{};
    int n = 0;
    row.name[n++] = house_letters[house];
    if (unit >= 10) row.name[n++] = '1';
    row.name[n++] = static_cast<char>('0' + unit % 10);
    put_text(row.name + n, off ? "OFF" : "ON");

    put_text(row.code, house_codes[house]);
    put_text(row.code + 4, unit >= 9 ? "0100" : "0000");
    put_text(row.code + 8, "00000000");
    const int k = (unit - 1) % 8;
    if (k >= 4) row.code[9] = '1';
    if (off) row.code[10] = '1';
    if (k % 2 == 1) row.code[11] = '1';
    if (k % 4 >= 2) row.code[12] = '1';
    return row;
}

constexpr switch_command house_row(int house, bool off) {
    switch_command row{};
    row.name[0] = house_letters[house];
    put_text(row.name + 1, off ? "OFF" : "ON");
    put_text(row.code, house_codes[house]);
    put_text(row.code + 4, off ? "000010011000" : "000010001000");
    return row;
}

constexpr std::array<switch_command, switch_count> make_table() {
    std::array<switch_command, switch_count> table{};
    std::size_t i = 0;
    for (int house = 0; house < 16; ++house) {
        for (int unit = 1; unit <= 16; ++unit) {
            table[i++] = unit_row(house, unit, false);
            table[i++] = unit_row(house, unit, true);
        }
        table[i++] = house_row(house, false);
        table[i++] = house_row(house, true);
    }
    return table;
}

constexpr std::array<switch_command, switch_count> table = make_table();

}  // namespace

const std::array<switch_command, switch_count>& switch_table() noexcept { return table; }

const char* find_switch_code(const char* key) noexcept {
    if (!key) return nullptr;
    for (const switch_command& row : table) {
        if (std::strcmp(row.name, key) == 0) return row.code;
    }
    return nullptr;
}

}  // namespace vantrel
