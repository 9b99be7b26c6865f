#include "decoder.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace {

// Writes a trace as the shim would for one port opening, from the line protocol: two writes
// at open (both lines raised), a reset, then each symbol as data writes and a return to idle.
class trace_writer {
public:
    void write(const char* kind) {
        const std::string k = kind;
        if (k == "DTR+") dtr_ = true;
        if (k == "DTR-") dtr_ = false;
        if (k == "RTS+") rts_ = true;
        if (k == "RTS-") rts_ = false;
        line(k, ++seq_);
    }
    void fail() { line("FAIL", ++seq_); }
    void wait(long long ns) { t_ += ns; }
    void close() { line("CLOSE", seq_); }
    void frame(const std::string& symbols, long long clock, long long reset, long long standby) {
        write("DTR+");
        write("RTS+");
        write("DTR-");
        write("RTS-");
        wait(reset);
        for (char s : symbols) {
            if (s == ' ') write("RTS+"), write("DTR+");
            if (s == '0') write("DTR+"), write("RTS-");
            if (s == '1') write("RTS+"), write("DTR-");
            wait(clock);
            write("RTS+");
            write("DTR+");
            wait(clock);
        }
        wait(standby);
        close();
    }
    std::string text() const { return out_.str(); }

private:
    void line(const std::string& kind, long seq) {
        out_ << seq << ' ' << t_ << ' ' << kind << ' ' << dtr_ << ' ' << rts_ << '\n';
        t_ += 1000;  // every write takes a microsecond
    }
    std::ostringstream out_;
    long seq_ = 0;
    long long t_ = 1000000;
    bool dtr_ = false, rts_ = false;
};

const std::string header = " 1101010110101010";
const std::string footer = "10101101";

}  // namespace

TEST(Decoder, AWholeFrameGivesTheCommandItsWritesAndWaits) {
    trace_writer t;
    t.frame(header + "1000000000000000" + footer, 10000000, 7000000, 200000000);
    const auto sessions = cm17a::decode(cm17a::parse_trace(t.text()));
    ASSERT_EQ(1u, sessions.size());
    const auto& s = sessions[0];
    ASSERT_TRUE(s.has_frame);
    EXPECT_TRUE(s.complete) << s.bits;
    EXPECT_EQ(2u, s.frame_start) << "the two writes at open are not part of the frame";
    EXPECT_EQ(166u, s.frame_writes);
    EXPECT_EQ("E1ON", s.name);
    EXPECT_EQ("E1 ON", s.meaning);
    EXPECT_EQ(0x8000u, s.code);
    EXPECT_EQ(7000000 + 1000, s.reset_wait_ns);
    ASSERT_EQ(81u, s.clock_waits_ns.size());
    for (long long w : s.clock_waits_ns) EXPECT_EQ(10000000 + 1000, w);
    EXPECT_EQ(10000000 + 200000000 + 1000, s.tail_wait_ns);
    EXPECT_FALSE(s.failed_write);
}

TEST(Decoder, HouseRowsAreBrightAndDim) {
    EXPECT_EQ("EON", cm17a::command_name(0x8088));
    EXPECT_EQ("E BRIGHT", cm17a::command_meaning(0x8088));
    EXPECT_EQ("POFF", cm17a::command_name(0x3098));
    EXPECT_EQ("P DIM", cm17a::command_meaning(0x3098));
    EXPECT_EQ("J16OFF", cm17a::command_name(0xF478));
    EXPECT_EQ("J16 OFF", cm17a::command_meaning(0xF478));
}

TEST(Decoder, CodesThatAreNoCommandHaveNoName) {
    for (unsigned code : {0x8001u, 0x8080u, 0x8100u, 0x8288u, 0x8089u, 0x80FFu}) {
        EXPECT_EQ("", cm17a::command_name(static_cast<std::uint16_t>(code))) << std::hex << code;
    }
}

TEST(Decoder, WrongHeaderOrFooterIsNoCompleteFrame) {
    trace_writer bad_header, bad_footer, short_frame;
    bad_header.frame(" 1101010110101011" + std::string(16, '0') + footer, 0, 0, 0);
    bad_footer.frame(header + std::string(16, '0') + "10101100", 0, 0, 0);
    short_frame.frame(header + std::string(15, '0') + footer, 0, 0, 0);
    for (const auto* t : {&bad_header, &bad_footer, &short_frame}) {
        const auto s = cm17a::decode(cm17a::parse_trace(t->text()));
        ASSERT_EQ(1u, s.size());
        EXPECT_TRUE(s[0].has_frame);
        EXPECT_FALSE(s[0].complete) << s[0].bits;
        EXPECT_EQ("", s[0].name);
    }
}

TEST(Decoder, AFailedWriteLeavesAnOpenIncompleteFrame) {
    trace_writer t;
    t.write("DTR+");
    t.write("RTS+");
    t.write("DTR-");
    t.write("RTS-");
    t.write("RTS+");
    t.fail();
    const auto s = cm17a::decode(cm17a::parse_trace(t.text()));
    ASSERT_EQ(1u, s.size());
    EXPECT_TRUE(s[0].has_frame);
    EXPECT_TRUE(s[0].failed_write);
    EXPECT_FALSE(s[0].closed);
    EXPECT_EQ(4u, s[0].frame_writes);
    EXPECT_EQ("FAIL", s[0].writes.back().kind);
    EXPECT_EQ(-1, s[0].frame_ns);
}

TEST(Decoder, EachOpeningIsItsOwnSessionAndStrayLinesAreIgnored) {
    trace_writer t;
    t.frame(header + "0000000000000000" + footer, 0, 0, 0);
    t.close();  // a duplicate descriptor closed again
    t.write("DTR+");
    t.write("RTS+");
    t.close();
    t.frame(header + "0011000010011000" + footer, 0, 0, 0);
    const auto s = cm17a::decode(cm17a::parse_trace("garbage\n\n" + t.text() + "1 2\n"));
    ASSERT_EQ(3u, s.size());
    EXPECT_EQ("M1ON", s[0].name);
    EXPECT_FALSE(s[1].has_frame);
    EXPECT_EQ(2u, s[1].writes.size());
    EXPECT_EQ("POFF", s[2].name);
}
