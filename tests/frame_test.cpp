#include "expected_frame.h"
#include "frame.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <string>
#include <vector>

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

namespace {

std::vector<std::string> as_text(const std::vector<vantrel::frame_step>& steps) {
    std::vector<std::string> text;
    for (const auto& s : steps) {
        if (s.is_wait) {
            text.push_back("wait " + std::to_string(s.wait_ms));
        } else {
            text.push_back(std::string(s.write.which == vantrel::line::dtr ? "DTR" : "RTS") +
                           (s.write.set ? "+" : "-"));
        }
    }
    return text;
}

}  // namespace

TEST(FrameSteps, TheWholeFrameInProtocolOrderWithItsWaits) {
    const struct {
        const char* code;
        vantrel::frame_timings asked;
        long clock, reset, standby;  // the waits expected
    } cases[] = {
        {"1000000000000000", {10, 10, 200}, 10, 10, 200},
        {"0110010001111000", {3, 7, 20}, 3, 7, 20},
        {"0011000010011000", {-1, -5, INT_MIN}, 0, 0, 0},
    };
    for (const auto& c : cases) {
        const auto steps = as_text(vantrel::frame_steps(c.code, c.asked));
        EXPECT_EQ(test::expected_frame(c.code, c.clock, c.reset, c.standby), steps) << c.code;
        EXPECT_EQ(166, std::count_if(steps.begin(), steps.end(),
                                     [](const std::string& s) { return s[0] != 'w'; }))
            << c.code;
    }
}

TEST(FrameSteps, ACodeThatIsNotSixteenBitsGivesNoFrame) {
    for (const char* code :
         {"", "100000000000000", "10000000000000000", "100000000000000x", "1000000 00000000"}) {
        EXPECT_TRUE(vantrel::frame_steps(code, {}).empty()) << '"' << code << '"';
    }
    EXPECT_TRUE(vantrel::frame_steps(nullptr, {}).empty());
}
