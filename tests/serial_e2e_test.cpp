// End to end: CommAds on COM5, which the virtual CM17A maps to a pty whose modem lines the
// preloaded shim emulates and records. Run inside "cm17a run"; the trace is read back here.
#include "expected_frame.h"
#include "frame_scope.h"
#include "test_support.h"
#include "trace_support.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
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
using vantrel::frame_env;
using vantrel::unique_handle;

namespace {

const wchar_t port[] = L"COM5";

struct expected_write {
    bool dtr;  // which line
    bool set;
};

// The frame's line writes as the line protocol defines them, with the line and level of each.
std::vector<expected_write> expected_frame(const std::string& code) {
    std::vector<expected_write> writes;
    for (const std::string& w : test::expected_frame_writes(code)) {
        writes.push_back({w[0] == 'D', w[3] == '+'});
    }
    return writes;
}

const char* failure_message(const expected_write& w) {
    if (w.dtr) return "Unable to set DTR";
    return w.set ? "Unable to set RTS" : "Unable to reset RTS";
}

// A thread in the multithreaded apartment, as a script host's worker would be.
template <class F>
std::thread com_thread(F body) {
    return std::thread([body] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        body();
        CoUninitialize();
    });
}

class SerialEndToEnd : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(host_file("CM17A_TRACE").empty()) << "run this inside 'cm17a run'";
        fail_write_number(0);
        SetErrorInfo(0, nullptr);
        mark();
    }
    void TearDown() override {
        fail_write_number(0);
        frame_env() = vantrel::frame_environment();
    }

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

    // Switches id on from a thread of its own and returns once the frame is visibly on the
    // lines, or over (done).
    std::thread frame_on_another_thread(ICommAds* object, const wchar_t* id,
                                        std::atomic<bool>& done) {
        std::thread sender = com_thread([object, id, &done] {
            EXPECT_EQ(S_OK, object->put_On(bstr(id).get(), 1));
            done = true;
        });
        while (events_since_mark().size() < 4 && !done) Sleep(1);
        return sender;
    }

    test::trace_mark mark_;
};

// Watches the timer-resolution calls that frames make; one thread at a time.
struct timer_watch {
    int begins = 0, ends = 0;
    std::size_t events_at_begin = 0, events_at_end = 0;
    MMRESULT begin_result = TIMERR_NOERROR;

    static timer_watch* current;
    static MMRESULT WINAPI begin(UINT ms) {
        ++current->begins;
        current->events_at_begin = read_trace().size();
        EXPECT_EQ(1u, ms);
        return current->begin_result;
    }
    static MMRESULT WINAPI end(UINT ms) {
        ++current->ends;
        current->events_at_end = read_trace().size();
        EXPECT_EQ(1u, ms);
        return TIMERR_NOERROR;
    }
    timer_watch() {
        current = this;
        frame_env().begin_period = begin;
        frame_env().end_period = end;
    }
    ~timer_watch() {
        frame_env() = vantrel::frame_environment();
        current = nullptr;
    }
};
timer_watch* timer_watch::current = nullptr;

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
    timer_watch timer;
    for (std::size_t k = 1; k <= expected.size(); ++k) {
        auto object = object_on_port(0, 0, 0);
        mark();
        fail_write_number(last_seq() + static_cast<long>(frame_start + k));
        ASSERT_EQ(E_FAIL, object->put_On(bstr(L"C3").get(), 1)) << "write " << k;
        EXPECT_EQ(failure_message(expected[k - 1]), take_error_description()) << "write " << k;
        fail_write_number(0);
        EXPECT_EQ(static_cast<int>(k), timer.begins);
        EXPECT_EQ(timer.begins, timer.ends) << "the timer stayed raised after write " << k;

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
    std::thread sender = frame_on_another_thread(object.get(), L"G2", frame_done);
    EXPECT_FALSE(frame_done) << "the frame ended before the read could be tried";
    LONG clock = 0;
    EXPECT_EQ(S_OK, object->get_ClockRate(&clock));
    const auto seen = events_since_mark();
    sender.join();
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ("CLOSE", seen.back().kind) << "the read returned before the frame was finished";
    EXPECT_EQ(2, clock);
}

TEST_F(SerialEndToEnd, LookAlikeCharactersNameNoSwitchAndNoPort) {
    // Each of these becomes a valid name under the platform's best-fit mapping.
    const wchar_t* const ids[] = {
        L"\uFF25\uFF11",  // fullwidth E1
        L"E\uFF11",       // fullwidth digit one
        L"\u212A1",       // Kelvin sign, K1
        L"\u212B1",       // Angstrom sign
        L"\u00C91",       // E with acute accent
    };
    auto object = object_on_port(0, 0, 0);
    for (const wchar_t* id : ids) {
        EXPECT_EQ(E_FAIL, object->put_On(bstr(id).get(), 1)) << test::narrow(id);
        EXPECT_EQ(0u, take_error_description().rfind("can't find switch [", 0))
            << test::narrow(id);
    }
    EXPECT_EQ(E_FAIL, object->put_On(bstr(ids[0]).get(), 1));
    EXPECT_EQ("can't find switch [??]", take_error_description())
        << "the id is shown as well as the code page can";

    const wchar_t* const ports[] = {L"COM\uFF15", L"\uFF23\uFF2F\uFF2D5", L"C\u00D3M5"};
    for (const wchar_t* name : ports) {
        auto other = object_on_port(0, 0, 0);
        ASSERT_EQ(S_OK, other->put_PortName(bstr(name).get()));
        EXPECT_EQ(E_FAIL, other->put_On(bstr(L"E1").get(), 1)) << test::narrow(name);
        EXPECT_EQ("Unable to open the port", take_error_description()) << test::narrow(name);
        EXPECT_EQ(E_FAIL, other->OpenPort()) << test::narrow(name);
        EXPECT_EQ("Unable to open the port", take_error_description()) << test::narrow(name);
    }
    EXPECT_TRUE(events_since_mark().empty()) << "a look-alike reached the lines";
}

TEST_F(SerialEndToEnd, TheFineTimerBracketsEachFrameAndIsGivenBackOnEveryPath) {
    timer_watch timer;
    auto object = object_on_port(0, 0, 0);
    const std::size_t before = read_trace().size();
    ASSERT_EQ(S_OK, object->put_On(bstr(L"E1").get(), 1));
    ASSERT_EQ(1, timer.begins);
    ASSERT_EQ(1, timer.ends);
    EXPECT_EQ(before, timer.events_at_begin) << "raised after the frame had started";
    EXPECT_EQ(read_trace().size(), timer.events_at_end);
    EXPECT_EQ("CLOSE", read_trace().back().kind) << "restored before the port was closed";

    ASSERT_EQ(S_OK, object->put_PortName(bstr(L"COM9").get()));
    EXPECT_EQ(E_FAIL, object->put_On(bstr(L"E1").get(), 1));
    EXPECT_EQ(2, timer.begins);
    EXPECT_EQ(2, timer.ends) << "a port that does not open";

    // A raise the system refuses is not undone.
    timer.begin_result = TIMERR_NOCANDO;
    ASSERT_EQ(S_OK, object->put_PortName(bstr(port).get()));
    EXPECT_EQ(S_OK, object->put_On(bstr(L"E1").get(), 1));
    EXPECT_EQ(3, timer.begins);
    EXPECT_EQ(2, timer.ends);
}

namespace {

std::wstring ready_event_name(const std::wstring& id) { return L"Local\\VantrelSender." + id; }

// This program again, as a sender of its own: the test Sender.SendsFrames, told what to send
// through its environment. A sender still running when the test ends is ended with it.
class sender_process {
public:
    sender_process(const std::wstring& id, int frames, LONG clock)
        : ready_(CreateEventW(nullptr, TRUE, FALSE, ready_event_name(id).c_str())) {
        const std::wstring order =
            id + L" " + std::to_wstring(frames) + L" " + std::to_wstring(clock);
        SetEnvironmentVariableW(L"VANTREL_SENDER", order.c_str());
        wchar_t exe[MAX_PATH];
        GetModuleFileNameW(nullptr, exe, MAX_PATH);
        std::wstring command = L"\"" + std::wstring(exe) + L"\" --gtest_filter=Sender.SendsFrames";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        const BOOL started = CreateProcessW(exe, &command[0], nullptr, nullptr, FALSE, 0,
                                            nullptr, nullptr, &startup, &process);
        SetEnvironmentVariableW(L"VANTREL_SENDER", nullptr);
        EXPECT_TRUE(started) << GetLastError();
        if (!started) return;
        CloseHandle(process.hThread);
        process_.reset(process.hProcess);
    }
    sender_process(const sender_process&) = delete;
    sender_process& operator=(const sender_process&) = delete;
    ~sender_process() {
        if (process_.get()) TerminateProcess(process_.get(), 1);
    }

    HANDLE get() const { return process_.get(); }
    // True once the sender is about to send its first frame; false if it ended first.
    bool ready() const {
        const HANDLE either[] = {ready_.get(), get()};
        return process_.get() && ready_.get() &&
               WaitForMultipleObjects(2, either, FALSE, 300000) == WAIT_OBJECT_0;
    }
    DWORD exit_code() const {
        DWORD code = STILL_ACTIVE;
        if (WaitForSingleObject(get(), 300000) == WAIT_OBJECT_0) GetExitCodeProcess(get(), &code);
        return code;
    }

private:
    unique_handle ready_;
    unique_handle process_;
};

// Every session complete and closed; returns how many frames each switch received.
std::map<std::string, int> whole_frames(const std::vector<cm17a::session>& sessions) {
    std::map<std::string, int> counts;
    for (const auto& s : sessions) {
        EXPECT_TRUE(s.complete && s.closed) << "a broken frame: " << s.bits;
        if (s.complete && s.closed) ++counts[s.name];
    }
    return counts;
}

}  // namespace

// Not part of the suite: what a sender_process runs.
TEST(Sender, SendsFrames) {
    const char* order = std::getenv("VANTREL_SENDER");
    if (!order) GTEST_SKIP() << "started only by the tests that need another process";
    char id[8] = {};
    int frames = 0;
    long clock = 0;
    ASSERT_EQ(3, std::sscanf(order, "%7s %d %ld", id, &frames, &clock)) << order;
    auto object = make_comm_ads();
    ASSERT_EQ(S_OK, object->put_PortName(bstr(port).get()));
    ASSERT_EQ(S_OK, object->put_ClockRate(clock));
    ASSERT_EQ(S_OK, object->put_ResetDuration(0));
    ASSERT_EQ(S_OK, object->put_StandByDuration(0));
    const std::wstring wide_id(id, id + std::strlen(id));
    const unique_handle ready(
        OpenEventW(EVENT_MODIFY_STATE, FALSE, ready_event_name(wide_id).c_str()));
    ASSERT_TRUE(ready.get() && SetEvent(ready.get()));
    for (int i = 0; i < frames; ++i) {
        ASSERT_EQ(S_OK, object->put_On(bstr(wide_id.c_str()).get(), 1)) << take_error_description();
    }
}

TEST_F(SerialEndToEnd, FramesFromManyObjectsAndProcessesNeverMix) {
    // Every sender reaches its first frame while this thread holds the lock, so all contend.
    constexpr int frames = 50;
    auto held = std::make_unique<vantrel::frame_scope>();
    ASSERT_TRUE(held->enter(port));
    std::atomic<int> ready{0};
    std::vector<std::thread> senders;
    for (int unit = 1; unit <= 8; ++unit) {
        senders.push_back(com_thread([unit, &ready] {
            auto object = object_on_port(0, 0, 0);
            const std::wstring id = L"F" + std::to_wstring(unit);
            ++ready;
            for (int i = 0; i < frames; ++i) {
                EXPECT_EQ(S_OK, object->put_On(bstr(id.c_str()).get(), 1))
                    << test::narrow(id) << " frame " << i;
            }
        }));
    }
    const sender_process first(L"G1", frames, 0), second(L"G2", frames, 0);
    EXPECT_TRUE(first.ready());
    EXPECT_TRUE(second.ready());
    for (int waited = 0; ready < 8 && waited < 30000; ++waited) Sleep(1);
    EXPECT_EQ(8, ready) << "threads that reached their first frame";
    EXPECT_TRUE(events_since_mark().empty()) << "a sender went past the held lock";
    held.reset();

    for (auto& t : senders) t.join();
    EXPECT_EQ(0u, first.exit_code());
    EXPECT_EQ(0u, second.exit_code());
    auto counts = whole_frames(sessions_since_mark());
    for (const char* id : {"F1", "F2", "F3", "F4", "F5", "F6", "F7", "F8", "G1", "G2"}) {
        EXPECT_EQ(frames, counts[std::string(id) + "ON"]) << id;
    }
}

TEST_F(SerialEndToEnd, ALockMadeByAnotherUserIsWaitedForAndTaken) {
    // As a sender of another user, session or elevation makes it: owned by SYSTEM, granting
    // everyone else only SYNCHRONIZE and MUTEX_MODIFY_STATE. Held, then released but kept
    // open, so that the sender finds this very object.
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
        L"O:SYD:P(A;;0x00100001;;;WD)", SDDL_REVISION_1, &sd, nullptr));
    SECURITY_ATTRIBUTES attributes{sizeof attributes, sd, FALSE};
    const unique_handle held(CreateMutexExW(&attributes, vantrel::port_lock_name(port).c_str(),
                                            CREATE_MUTEX_INITIAL_OWNER, SYNCHRONIZE | 1));
    const bool made = held.get() && GetLastError() != ERROR_ALREADY_EXISTS;
    LocalFree(sd);
    ASSERT_TRUE(made) << "the lock exists already";
    const sender_process sender(L"K1", 1, 0);
    EXPECT_TRUE(sender.ready());
    ASSERT_TRUE(ReleaseMutex(held.get()));
    EXPECT_EQ(0u, sender.exit_code()) << "refused the lock";
    const auto sessions = sessions_since_mark();
    ASSERT_EQ(1u, sessions.size());
    EXPECT_EQ("K1ON", sessions[0].name);
}

TEST_F(SerialEndToEnd, ALockLeftByASenderThatDiedIsTakenOver) {
    // A frame of more than an hour, cut short once it is on the lines.
    const sender_process holder(L"H1", 1, 60000);
    while (events_since_mark().size() < 4 && WaitForSingleObject(holder.get(), 10) == WAIT_TIMEOUT) {
    }
    ASSERT_EQ(WAIT_TIMEOUT, WaitForSingleObject(holder.get(), 0)) << "the holder ended early";
    // Holding a handle, as a sender already waiting would, keeps the lock alive past its
    // holder's death: the next sender then finds it abandoned rather than new.
    const unique_handle waiting(
        CreateMutexExW(nullptr, vantrel::port_lock_name(port).c_str(), 0, SYNCHRONIZE));
    ASSERT_TRUE(waiting.get());
    ASSERT_TRUE(TerminateProcess(holder.get(), 1));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(holder.get(), 30000));

    mark();
    auto object = object_on_port(0, 0, 0);
    ASSERT_EQ(S_OK, object->put_On(bstr(L"H2").get(), 1)) << take_error_description();
    const auto sessions = sessions_since_mark();
    ASSERT_EQ(1u, sessions.size());
    EXPECT_EQ("H2ON", sessions[0].name);
}

TEST_F(SerialEndToEnd, ASenderThatCannotHaveThePortInTimeSendsNothing) {
    vantrel::frame_scope held;
    ASSERT_TRUE(held.enter(port));
    frame_env().lock_timeout_ms = 100;
    // From another thread: this one would take the lock it holds again.
    com_thread([] {
        auto waiter = object_on_port(0, 0, 0);
        const ULONGLONG start = GetTickCount64();
        EXPECT_EQ(E_FAIL, waiter->put_On(bstr(L"J2").get(), 1));
        const ULONGLONG waited = GetTickCount64() - start;
        EXPECT_EQ("Unable to open the port", take_error_description());
        EXPECT_GE(waited + 16, 100u) << "gave up before the bound";  // the tick is coarse
    }).join();
    EXPECT_TRUE(events_since_mark().empty()) << "the waiter opened the port";
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
