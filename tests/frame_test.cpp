#include "frame.h"

#include <gtest/gtest.h>

#include <climits>

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
