// End to end: CommAds on COM5, which the virtual CM17A maps to a pty whose modem lines the
// preloaded shim emulates and records. Run inside "cm17a run"; the trace is read back here.
#include "test_support.h"
#include "trace_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using test::bstr;
using test::make_comm_ads;
using test::take_error_description;
using test::fail_write_number;
using test::host_file;
using test::read_trace;
using vantrel::com_ptr;

namespace {

const wchar_t port[] = L"COM5";

struct expected_write {
    bool dtr;  // which line
    bool set;
};

// The frame as the CM17A line protocol defines it: a reset (DTR then RTS cleared), then per
// symbol its data writes and the return to idle (RTS, then DTR set).
std::vector<expected_write> expected_frame(const std::string& code) {
    std::vector<expected_write> w = {{true, false}, {false, false}};
    for (char s : " 1101010110101010" + code + "10101101") {
        if (s == ' ') w.insert(w.end(), {{false, true}, {true, true}});
        if (s == '0') w.insert(w.end(), {{true, true}, {false, false}});
        if (s == '1') w.insert(w.end(), {{false, true}, {true, false}});
        w.insert(w.end(), {{false, true}, {true, true}});
    }
    return w;
}

const char* failure_message(const expected_write& w) {
    if (w.dtr) return "Unable to set DTR";
    return w.set ? "Unable to set RTS" : "Unable to reset RTS";
}

class SerialEndToEnd : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(host_file("CM17A_TRACE").empty()) << "run this inside 'cm17a run'";
        fail_write_number(0);
        SetErrorInfo(0, nullptr);
        mark();
    }
    void TearDown() override { fail_write_number(0); }

    void mark() { mark_ = test::trace_mark(); }
    std::vector<cm17a::event> events_since_mark() const { return mark_.events(); }
    std::vector<cm17a::session> sessions_since_mark() const { return mark_.sessions(); }
    long last_seq() const {
        const auto& all = read_trace();
        return all.empty() ? 0 : all.back().seq;
    }

    static com_ptr<ICommAds> object_on_port(LONG clock, LONG reset, LONG standby) {
        auto object = make_comm_ads();
        EXPECT_EQ(S_OK, object->put_PortName(bstr(port).get()));
        EXPECT_EQ(S_OK, object->put_ClockRate(clock));
        EXPECT_EQ(S_OK, object->put_ResetDuration(reset));
        EXPECT_EQ(S_OK, object->put_StandByDuration(standby));
        return object;
    }

    test::trace_mark mark_;
};

}  // namespace

TEST_F(SerialEndToEnd, SwitchesAcrossAllHousesArriveAsTheRightCommand) {
    auto object = object_on_port(0, 0, 0);
    for (wchar_t house = L'A'; house <= L'P'; ++house) {
        std::vector<std::wstring> ids = {std::wstring(1, house)};
        for (int unit : {1, 8, 9, 16}) ids.push_back(std::wstring(1, house) + std::to_wstring(unit));
        for (const std::wstring& id : ids) {
            for (LONG value : {1L, 0L}) {
                mark();
                ASSERT_EQ(S_OK, object->put_On(bstr(id.c_str()).get(), value));
                const auto sessions = sessions_since_mark();
                const std::string name =
                    std::string(id.begin(), id.end()) + (value ? "ON" : "OFF");
                ASSERT_EQ(1u, sessions.size()) << name;
                EXPECT_TRUE(sessions[0].complete) << name << ": " << sessions[0].bits;
                EXPECT_EQ(name, sessions[0].name);
                EXPECT_TRUE(sessions[0].closed) << name;
            }
        }
    }
}

TEST_F(SerialEndToEnd, IdsInLowerCaseAndAnyNonZeroValueMeanOn) {
    auto object = object_on_port(0, 0, 0);
    const struct {
        const wchar_t* id;
        LONG value;
        const char* received;
    } cases[] = {{L"e1", 1, "E1ON"}, {L"e1", 0, "E1OFF"}, {L"a", -1, "AON"},
                 {L"A", 5, "AON"},   {L"a", 0, "AOFF"},   {L"p16", -7, "P16ON"}};
    for (const auto& c : cases) {
        mark();
        ASSERT_EQ(S_OK, object->put_On(bstr(c.id).get(), c.value));
        const auto sessions = sessions_since_mark();
        ASSERT_EQ(1u, sessions.size());
        EXPECT_EQ(c.received, sessions[0].name);
    }
}

TEST_F(SerialEndToEnd, AFrameIs166WritesInProtocolOrder) {
    for (LONG clock : {1L, 0L, -1L}) {
        auto object = object_on_port(clock, clock, clock);
        mark();
        ASSERT_EQ(S_OK, object->put_On(bstr(L"E1").get(), 1));
        const auto sessions = sessions_since_mark();
        ASSERT_EQ(1u, sessions.size());
        const auto& s = sessions[0];
        ASSERT_TRUE(s.has_frame);
        ASSERT_EQ(166u, s.frame_writes) << "ClockRate " << clock;
        const auto expected = expected_frame("1000000000000000");
        bool dtr = true, rts = true;  // both set once the configuration is applied
        for (std::size_t i = 0; i < expected.size(); ++i) {
            const cm17a::event& e = s.writes[s.frame_start + i];
            bool& level = expected[i].dtr ? dtr : rts;
            const bool changes = level != expected[i].set;
            level = expected[i].set;
            const std::string kind = !changes ? "SET"
                                     : expected[i].dtr ? (expected[i].set ? "DTR+" : "DTR-")
                                                       : (expected[i].set ? "RTS+" : "RTS-");
            EXPECT_EQ(kind, e.kind) << "write " << i + 1 << " of the frame";
            EXPECT_EQ(dtr, e.dtr) << "write " << i + 1;
            EXPECT_EQ(rts, e.rts) << "write " << i + 1;
        }
        EXPECT_EQ("E1ON", s.name);
        EXPECT_TRUE(s.closed);
    }
}

TEST_F(SerialEndToEnd, EveryWaitIsAtLeastWhatWasAsked) {
    const LONG clock = 3, reset = 7, standby = 20;
    auto object = object_on_port(clock, reset, standby);
    ASSERT_EQ(S_OK, object->put_On(bstr(L"B7").get(), 0));
    const auto sessions = sessions_since_mark();
    ASSERT_EQ(1u, sessions.size());
    const auto& s = sessions[0];
    constexpr long long ms = 1000000;
    EXPECT_GE(s.reset_wait_ns, reset * ms);
    ASSERT_EQ(81u, s.clock_waits_ns.size());
    for (std::size_t i = 0; i < s.clock_waits_ns.size(); ++i) {
        EXPECT_GE(s.clock_waits_ns[i], clock * ms) << "clock wait " << i + 1;
    }
    EXPECT_GE(s.tail_wait_ns, (clock + standby) * ms);
    EXPECT_GE(s.frame_ns, (reset + 82 * clock + standby) * ms);
}

TEST_F(SerialEndToEnd, OnFailsWhileTheClientHoldsThePortOpen) {
    auto object = object_on_port(0, 0, 0);
    ASSERT_EQ(S_OK, object->OpenPort());
    mark();
    EXPECT_EQ(E_FAIL, object->put_On(bstr(L"E1").get(), 1));
    EXPECT_EQ("Port is currently opened.", take_error_description());
    EXPECT_TRUE(events_since_mark().empty()) << "no line may be written";
    EXPECT_EQ(S_OK, object->ClosePort()) << "the client's port stays open until it closes it";
}

TEST_F(SerialEndToEnd, AFailingWriteStopsTheFrameAtEachPosition) {
    // Where the frame starts within an opening (after the writes that applying the line
    // configuration makes) is measured, not assumed.
    std::size_t frame_start = 0;
    {
        auto object = object_on_port(0, 0, 0);
        ASSERT_EQ(S_OK, object->put_On(bstr(L"C3").get(), 1));
        const auto sessions = sessions_since_mark();
        ASSERT_EQ(1u, sessions.size());
        frame_start = sessions[0].frame_start;
    }
    const auto expected = expected_frame("0100000000001000");
    for (std::size_t k = 1; k <= expected.size(); ++k) {
        auto object = object_on_port(0, 0, 0);
        mark();
        fail_write_number(last_seq() + static_cast<long>(frame_start + k));
        ASSERT_EQ(E_FAIL, object->put_On(bstr(L"C3").get(), 1)) << "write " << k;
        EXPECT_EQ(failure_message(expected[k - 1]), take_error_description()) << "write " << k;
        fail_write_number(0);

        auto sessions = sessions_since_mark();
        ASSERT_EQ(1u, sessions.size()) << "write " << k;
        EXPECT_FALSE(sessions[0].closed) << "write " << k;
        EXPECT_EQ(k, sessions[0].writes.size() - frame_start) << "no write after the failed one";
        EXPECT_EQ("FAIL", sessions[0].writes.back().kind) << "write " << k;

        EXPECT_EQ(E_FAIL, object->OpenPort()) << "the port stays open";
        EXPECT_EQ("Port is currently opened.", take_error_description());
        if (k % 2) {
            EXPECT_EQ(S_OK, object->ClosePort());
        } else {
            object.reset();
        }
        const auto closing = events_since_mark();
        ASSERT_FALSE(closing.empty());
        EXPECT_EQ("CLOSE", closing.back().kind) << "write " << k << ": port not given back";
    }
}

TEST_F(SerialEndToEnd, AConfigurationThatCannotBeAppliedLeavesThePortOpen) {
    auto object = object_on_port(0, 0, 0);
    // Wine applies the line settings with tcsetattr, which the virtual CM17A makes fail.
    fail_write_number(-1);
    EXPECT_EQ(E_FAIL, object->OpenPort());
    EXPECT_EQ("Unable to configure the serial port", take_error_description());
    fail_write_number(0);
    EXPECT_EQ(E_FAIL, object->put_On(bstr(L"E1").get(), 1));
    EXPECT_EQ("Port is currently opened.", take_error_description());
    EXPECT_EQ(S_OK, object->ClosePort());
    const auto events = events_since_mark();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ("CLOSE", events.back().kind);
}

TEST_F(SerialEndToEnd, AnUnknownSwitchNeverOpensThePort) {
    auto object = object_on_port(0, 0, 0);
    EXPECT_EQ(E_FAIL, object->put_On(bstr(L"Q1").get(), 1));
    EXPECT_EQ("can't find switch [Q1]", take_error_description());
    EXPECT_TRUE(events_since_mark().empty()) << "the port was opened";
}

TEST_F(SerialEndToEnd, TheLinesByHand) {
    auto object = object_on_port(0, 0, 0);
    ASSERT_EQ(S_OK, object->OpenPort());
    auto opened = events_since_mark();
    ASSERT_FALSE(opened.empty());
    EXPECT_TRUE(opened.back().dtr && opened.back().rts) << "both lines asserted once open";

    EXPECT_EQ(E_FAIL, object->OpenPort());
    EXPECT_EQ("Port is currently opened.", take_error_description());
    const struct {
        bool dtr;
        LONG value;
        bool level;
    } writes[] = {{true, 0, false}, {true, 1, true},  {true, 0, false}, {true, -1, true},
                  {false, 0, false}, {false, 2, true}, {false, 0, false}, {false, -1, true}};
    for (const auto& w : writes) {
        mark();
        ASSERT_EQ(S_OK, w.dtr ? object->put_DTR(w.value) : object->put_RTS(w.value));
        const auto events = events_since_mark();
        ASSERT_EQ(1u, events.size());
        EXPECT_EQ(w.level, w.dtr ? events[0].dtr : events[0].rts)
            << (w.dtr ? "DTR = " : "RTS = ") << w.value;
    }
    mark();
    EXPECT_EQ(S_OK, object->ClosePort());
    const auto closing = events_since_mark();
    ASSERT_FALSE(closing.empty());
    EXPECT_EQ("CLOSE", closing.back().kind);
    EXPECT_EQ(E_FAIL, object->ClosePort());
    EXPECT_EQ("(none)", take_error_description());
}

TEST_F(SerialEndToEnd, TheLastReleaseClosesAPortLeftOpen) {
    auto object = object_on_port(0, 0, 0);
    ASSERT_EQ(S_OK, object->OpenPort());
    mark();
    object.reset();
    const auto events = events_since_mark();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ("CLOSE", events.back().kind);
    auto next = object_on_port(0, 0, 0);
    EXPECT_EQ(S_OK, next->put_On(bstr(L"E1").get(), 1)) << take_error_description();
}

TEST_F(SerialEndToEnd, AReadFromAnotherThreadWaitsForTheWholeFrame) {
    auto object = object_on_port(2, 2, 2);
    std::atomic<bool> frame_done{false};
    std::thread sender([&] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        EXPECT_EQ(S_OK, object->put_On(bstr(L"G2").get(), 1));
        frame_done = true;
        CoUninitialize();
    });
    // Wait until the frame has visibly started on the lines.
    while (events_since_mark().size() < 4 && !frame_done) Sleep(1);
    ASSERT_FALSE(frame_done) << "the frame ended before the read could be tried";
    LONG clock = 0;
    EXPECT_EQ(S_OK, object->get_ClockRate(&clock));
    const auto seen = events_since_mark();
    sender.join();
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ("CLOSE", seen.back().kind) << "the read returned before the frame was finished";
    EXPECT_EQ(2, clock);
}

// Runs in its own process without the shim: a pty has no modem lines.
TEST(BarePty, EveryLineWriteFailsWithItsMessage) {
    SetErrorInfo(0, nullptr);
    auto object = make_comm_ads();
    ASSERT_EQ(S_OK, object->put_PortName(bstr(port).get()));
    ASSERT_EQ(S_OK, object->OpenPort()) << take_error_description();
    EXPECT_EQ(E_FAIL, object->put_DTR(1));
    EXPECT_EQ("Unable to set DTR", take_error_description());
    EXPECT_EQ(E_FAIL, object->put_DTR(0));
    EXPECT_EQ("Unable to set DTR", take_error_description());
    EXPECT_EQ(E_FAIL, object->put_RTS(1));
    EXPECT_EQ("Unable to set RTS", take_error_description());
    EXPECT_EQ(E_FAIL, object->put_RTS(0));
    EXPECT_EQ("Unable to reset RTS", take_error_description());
    ASSERT_EQ(S_OK, object->ClosePort());

    EXPECT_EQ(E_FAIL, object->put_On(bstr(L"E1").get(), 1));
    EXPECT_EQ("Unable to set DTR", take_error_description());
    EXPECT_EQ(E_FAIL, object->OpenPort());
    EXPECT_EQ("Port is currently opened.", take_error_description());
}
