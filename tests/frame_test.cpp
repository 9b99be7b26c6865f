#include "frame.h"

#include <gtest/gtest.h>

#include <climits>

using vantrel::line;

namespace {

std::string describe(char symbol) {
    const auto w = vantrel::data_phase(symbol);
    std::string out;
    for (int i = 0; i < w.count; ++i) {
        out += w.writes[i].which == line::dtr ? "DTR" : "RTS";
        out += w.writes[i].set ? '+' : '-';
        out += ' ';
    }
    return out;
}

}  // namespace

TEST(SymbolWrites, EachSymbolInItsOrder) {
    EXPECT_EQ("RTS+ DTR+ ", describe(' '));
    EXPECT_EQ("DTR+ RTS- ", describe('0'));
    EXPECT_EQ("RTS+ DTR- ", describe('1'));
    for (char other : {'2', 'x', '\t', '\xff'}) EXPECT_EQ("", describe(other)) << int(other);
    EXPECT_EQ(line::rts, vantrel::idle_phase[0].which);
    EXPECT_TRUE(vantrel::idle_phase[0].set);
    EXPECT_EQ(line::dtr, vantrel::idle_phase[1].which);
    EXPECT_TRUE(vantrel::idle_phase[1].set);
}

TEST(LineFlags, FlowControlOffAndBothLinesUnderProgramControl) {
    // Every flag set, every flag clear, and a typical driver default (binary, DTR and RTS
    // handshake, XON/XOFF) with reserved upper bits.
    EXPECT_EQ(0xFFFF9093u, vantrel::rewrite_line_flags(0xFFFFFFFFu));
    EXPECT_EQ(0x00001090u, vantrel::rewrite_line_flags(0x00000000u));
    EXPECT_EQ(0x12341091u, vantrel::rewrite_line_flags(0x12342321u));
    const std::uint32_t applied = vantrel::rewrite_line_flags(0x0000FFFFu);
    EXPECT_EQ(1u, (applied >> 4) & 3u) << "fDtrControl";
    EXPECT_EQ(1u, (applied >> 12) & 3u) << "fRtsControl";
    EXPECT_EQ(0u, applied & ((1u << 2) | (1u << 3) | (1u << 6) | (0xFu << 8) | (1u << 14)));
}

TEST(Waits, NegativeTimingsWaitNothingAndOthersPassThrough) {
    EXPECT_EQ(0u, vantrel::wait_milliseconds(-1));
    EXPECT_EQ(0u, vantrel::wait_milliseconds(INT_MIN));
    EXPECT_EQ(0u, vantrel::wait_milliseconds(0));
    EXPECT_EQ(10u, vantrel::wait_milliseconds(10));
    EXPECT_EQ(static_cast<std::uint32_t>(INT_MAX), vantrel::wait_milliseconds(INT_MAX));
}
