#include "decoder.h"
#include "switch_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

using vantrel::find_switch_code;
using vantrel::switch_table;

namespace {

std::string code_of(const char* name) {
    const char* code = find_switch_code(name);
    return code ? code : "(none)";
}

int differing_positions(const std::string& a, const std::string& b, int* where) {
    int n = 0;
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
        if (a[i] != b[i]) {
            ++n;
            *where = static_cast<int>(i) + 1;
        }
    }
    return n;
}

}  // namespace

TEST(SwitchTable, HasTheRowsInTheirOrder) {
    const auto& t = switch_table();
    ASSERT_EQ(544u, t.size());
    EXPECT_STREQ("A1ON", t[0].name);
    EXPECT_STREQ("0110000000000000", t[0].code);
    EXPECT_STREQ("A1OFF", t[1].name);
    EXPECT_STREQ("A2ON", t[2].name);
    EXPECT_STREQ("A16OFF", t[31].name);
    EXPECT_STREQ("AON", t[32].name);
    EXPECT_STREQ("AOFF", t[33].name);
    EXPECT_STREQ("B1ON", t[34].name);
    EXPECT_STREQ("P16ON", t[540].name);
    EXPECT_STREQ("P16OFF", t[541].name);
    EXPECT_STREQ("PON", t[542].name);
    EXPECT_STREQ("POFF", t[543].name);
    EXPECT_STREQ("0011000010011000", t[543].code);
}

TEST(SwitchTable, KnownCodes) {
    EXPECT_EQ("0000000000000000", code_of("M1ON"));
    EXPECT_EQ("1111010001111000", code_of("J16OFF"));
    EXPECT_EQ("1000000000000000", code_of("E1ON"));
    EXPECT_EQ("0110010001111000", code_of("A16OFF"));
    EXPECT_EQ("0110000001011000", code_of("A8ON"));
    EXPECT_EQ("0110000010001000", code_of("AON"));
    EXPECT_EQ("0110000010011000", code_of("AOFF"));
    EXPECT_EQ("0011010000101000", code_of("P11OFF"));
}

TEST(SwitchTable, NamesAndCodesAreUniqueAndWellFormed) {
    std::set<std::string> names, codes;
    for (const auto& row : switch_table()) {
        names.insert(row.name);
        codes.insert(row.code);
        ASSERT_EQ(16u, std::strlen(row.code)) << row.name;
        EXPECT_EQ(std::strlen(row.code), std::strspn(row.code, "01")) << row.name;
    }
    EXPECT_EQ(544u, names.size());
    EXPECT_EQ(544u, codes.size());
}

TEST(SwitchTable, UnitsOneAndNineDifferOnlyInCharacterSixAndOnOffOnlyInEleven) {
    for (char house = 'A'; house <= 'P'; ++house) {
        for (int unit = 1; unit <= 8; ++unit) {
            const std::string h(1, house);
            const std::string low = code_of((h + std::to_string(unit) + "ON").c_str());
            const std::string high = code_of((h + std::to_string(unit + 8) + "ON").c_str());
            int where = 0;
            EXPECT_EQ(1, differing_positions(low, high, &where)) << house << unit;
            EXPECT_EQ(6, where) << house << unit;
        }
        for (int unit = 1; unit <= 16; ++unit) {
            const std::string base = std::string(1, house) + std::to_string(unit);
            int where = 0;
            EXPECT_EQ(1, differing_positions(code_of((base + "ON").c_str()),
                                             code_of((base + "OFF").c_str()), &where))
                << base;
            EXPECT_EQ(11, where) << base;
        }
    }
}

TEST(SwitchTable, LookupIsExactAndCaseSensitive) {
    for (const char* key : {"A0ON", "A17ON", "A01ON", "Q1ON", "a1ON", "A1", "A1on", "", " A1ON",
                            "A1ON ", "A1ONN", "ON", "OFF"}) {
        EXPECT_EQ(nullptr, find_switch_code(key)) << '"' << key << '"';
    }
    EXPECT_EQ(nullptr, find_switch_code(nullptr));
}

TEST(SwitchTable, EveryCodeDecodesToItsOwnNameOnTheReceivingSide) {
    for (const auto& row : switch_table()) {
        const auto code = static_cast<std::uint16_t>(std::stoul(row.code, nullptr, 2));
        EXPECT_EQ(row.name, cm17a::command_name(code)) << row.code;
    }
}

TEST(FrameTexts, HeaderAndFooter) {
    EXPECT_EQ(17u, std::strlen(vantrel::frame_header));
    EXPECT_EQ(' ', vantrel::frame_header[0]);
    EXPECT_STREQ(" 1101010110101010", vantrel::frame_header);
    EXPECT_STREQ("10101101", vantrel::frame_footer);
}
