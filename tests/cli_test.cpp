// vantrel end to end: the program itself on the virtual CM17A. Runs inside
// "cm17a run --link PORT"; every vantrel started here inherits the modem-line shim, and what
// the shim recorded is read back here.
#include "expected_frame.h"
#include "switch_table.h"
#include "trace_support.h"
#include "version.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

const std::string port = VANTREL_TEST_PORT;

using args_list = std::vector<std::string>;
using env_list = std::vector<std::pair<std::string, std::string>>;

// The lock files and the programs' output, in a folder removed when the tests end.
const std::string& scratch() {
    static const struct folder {
        std::string path;
        folder() {
            char name[] = "/tmp/vantrel-cli-test-XXXXXX";
            path = mkdtemp(name) ? name : "";
        }
        ~folder() { std::filesystem::remove_all(path); }
    } dir;
    return dir.path;
}

std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

struct finished {
    int status = -1;  // as a shell's $? shows it: the exit status, or 128 + the signal
    bool by_signal = false;
    std::string out, err;
};

// vantrel on the virtual CM17A's port with no waits; later options in args override these.
args_list on_port(const args_list& args) {
    args_list all = {"--port", port, "--clock-rate", "0", "--reset", "0", "--standby", "0"};
    all.insert(all.end(), args.begin(), args.end());
    return all;
}

// A vantrel process, ended with its test at the latest. Its lock files go to the scratch
// folder; VANTREL_PORT and the lock timeout are unset unless env sets them.
class vantrel_process {
  public:
    explicit vantrel_process(const args_list& args, const env_list& env = {}) {
        static int runs = 0;
        const std::string base = scratch() + "/run" + std::to_string(++runs);
        out_ = base + ".out";
        err_ = base + ".err";
        pid_ = fork();
        if (pid_ != 0) return;
        const int out = open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(126);
        setenv("VANTREL_LOCK_DIR", scratch().c_str(), 1);
        unsetenv("VANTREL_PORT");
        unsetenv("VANTREL_LOCK_TIMEOUT_MS");
        for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
        std::vector<char*> argv = {const_cast<char*>(VANTREL_PATH)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(VANTREL_PATH, argv.data());
        _exit(127);
    }
    vantrel_process(const vantrel_process&) = delete;
    vantrel_process& operator=(const vantrel_process&) = delete;
    ~vantrel_process() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }

    pid_t pid() const { return pid_; }
    bool running() const {
        siginfo_t info{};
        return waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
               info.si_pid == 0;
    }
    finished finish() {
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        finished f;
        f.by_signal = WIFSIGNALED(status);
        f.status = f.by_signal ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
        f.out = read_text(out_);
        f.err = read_text(err_);
        return f;
    }

  private:
    pid_t pid_ = -1;
    std::string out_, err_;
};

finished run_vantrel(const args_list& args, const env_list& env = {}) {
    return vantrel_process(args, env).finish();
}

// Until the trace holds n events since the mark; false when the process ended first.
bool wait_for_events(const test::trace_mark& mark, std::size_t n, const vantrel_process& p) {
    while (mark.events().size() < n) {
        if (!p.running()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// The names of the frames received, each of which must be whole and its port closed.
std::vector<std::string> whole_frames(const std::vector<cm17a::session>& sessions) {
    std::vector<std::string> names;
    for (const auto& s : sessions) {
        EXPECT_TRUE(s.complete && s.closed) << "a broken frame: " << s.bits;
        names.push_back(s.name);
    }
    return names;
}

class Vantrel : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(test::host_file("CM17A_TRACE").empty())
            << "run this inside 'cm17a run --link " << port << "'";
        ASSERT_FALSE(scratch().empty());
        test::fail_write_number(0);
    }
    void TearDown() override { test::fail_write_number(0); }

    test::trace_mark mark_;
};

}  // namespace

TEST_F(Vantrel, EachCommandFormArrivesAsItsFramesInOrder) {
    const struct {
        args_list args;
        std::vector<std::string> received;
    } cases[] = {
        {{"E1", "on"}, {"E1ON"}},
        {{"p16", "OFF"}, {"P16OFF"}},
        {{"E1,E3-5", "off"}, {"E1OFF", "E3OFF", "E4OFF", "E5OFF"}},
        {{"c9-9", "on"}, {"C9ON"}},
        {{"bright", "e", "3"}, {"EON", "EON", "EON"}},
        {{"dim", "K"}, {"KOFF"}},
        {{"--repeat", "2", "A1,b16", "on"}, {"A1ON", "B16ON", "A1ON", "B16ON"}},
        {{"dim", "--repeat=2", "p", "2"}, {"POFF", "POFF", "POFF", "POFF"}},
    };
    for (const auto& c : cases) {
        const test::trace_mark mark;
        const finished run = run_vantrel(on_port(c.args));
        EXPECT_EQ(0, run.status) << run.err;
        EXPECT_EQ("", run.err);
        EXPECT_EQ(c.received, whole_frames(mark.sessions())) << c.args[0];
    }
}

TEST_F(Vantrel, WritesTheFrameInProtocolOrderAndWaitsAtLeastAsAsked) {
    const finished run =
        run_vantrel(on_port({"--clock-rate", "3", "--reset", "7", "--standby", "20", "B7", "off"}));
    ASSERT_EQ(0, run.status) << run.err;
    const auto sessions = mark_.sessions();
    ASSERT_EQ(1u, sessions.size());
    const cm17a::session& s = sessions[0];
    std::vector<std::string> writes;
    for (const cm17a::event& e : s.writes) writes.push_back(e.kind);
    std::vector<std::string> expected = {"DTR+", "RTS+"};  // raised once the port is configured
    const auto frame = test::expected_frame_writes(vantrel::find_switch_code("B7OFF"));
    expected.insert(expected.end(), frame.begin(), frame.end());
    EXPECT_EQ(expected, writes);
    EXPECT_TRUE(s.closed);

    constexpr long long ms = 1000000;
    EXPECT_GE(s.reset_wait_ns, 7 * ms);
    ASSERT_EQ(81u, s.clock_waits_ns.size());
    for (std::size_t i = 0; i < s.clock_waits_ns.size(); ++i) {
        EXPECT_GE(s.clock_waits_ns[i], 3 * ms) << "clock wait " << i + 1;
    }
    EXPECT_GE(s.tail_wait_ns, (3 + 20) * ms);
    EXPECT_GE(s.frame_ns, (7 + 82 * 3 + 20) * ms);
}

TEST_F(Vantrel, ADryRunPrintsTheFramesAndOpensNoPort) {
    for (const std::string& device : {port, std::string("/nonexistent/tty")}) {
        const finished run = run_vantrel(on_port({"--port", device, "--dry-run", "E2,E3", "on"}));
        EXPECT_EQ(0, run.status) << run.err;
        std::istringstream lines(run.out);
        std::string line;
        std::vector<std::string> frames;
        while (std::getline(lines, line)) frames.push_back(line);
        ASSERT_EQ(3u, frames.size()) << run.out;
        EXPECT_NE(std::string::npos, frames[0].find(device)) << frames[0];
        EXPECT_EQ(0u, frames[1].find("E2 ON")) << frames[1];
        EXPECT_NE(std::string::npos, frames[1].find(vantrel::find_switch_code("E2ON")));
        EXPECT_EQ(0u, frames[2].find("E3 ON")) << frames[2];
    }
    EXPECT_TRUE(mark_.events().empty()) << "a line was written";
}

TEST_F(Vantrel, BadInputExitsTwoWithItsMessageAndSendsNothing) {
    const struct {
        args_list args;
        std::string message;
        env_list env = {};
    } cases[] = {
        {{}, "missing SWITCH and on|off (see vantrel --help)"},
        {{"E1"}, "missing on or off after [E1]"},
        {{"", "on"}, "empty switch name"},
        {{"E1,,E2", "on"}, "empty switch name"},
        {{"e1234567890123456789", "on"}, "can't find switch [E123456789012345...]"},
        {{"\xEF\xBC\xA5\xEF\xBC\x91", "on"}, "can't find switch [??]"},  // fullwidth E1
        {{"E1,Q1", "on"}, "can't find switch [Q1]"},
        {{"E0", "on"}, "can't find switch [E0]"},
        {{"e17", "off"}, "can't find switch [E17]"},
        {{"E01", "off"}, "can't find switch [E01]"},
        {{"E1,E5-3", "off"}, "reversed range [E5-3]"},
        {{"E", "on"}, "can't find switch [E] (for the whole house: bright E or dim E)"},
        {{"E1", "maybe"}, "expected on or off, not [maybe]"},
        {{"E1", "on", "now"}, "unexpected argument [now]"},
        {{"bright", "E", "0"}, "COUNT takes a number from 1 to 1000, not [0]"},
        {{"dim", "E", "many"}, "COUNT takes a number from 1 to 1000, not [many]"},
        {{"dim", "Q"}, "can't find house [Q]"},
        {{"bright"}, "missing HOUSE after bright"},
        {{"--clock-rate", "-1", "E1", "on"},
         "--clock-rate takes milliseconds from 0 to 2147483647, not [-1]"},
        {{"--reset=2147483648", "E1", "on"},
         "--reset takes milliseconds from 0 to 2147483647, not [2147483648]"},
        {{"--standby", "1.5", "E1", "on"},
         "--standby takes milliseconds from 0 to 2147483647, not [1.5]"},
        {{"--repeat", "0", "E1", "on"}, "--repeat takes a number from 1 to 1000, not [0]"},
        {{"E1", "on", "--port"}, "--port needs a value"},
        {{"--fast", "E1", "on"}, "unknown option [--fast] (see vantrel --help)"},
        {{"E1", "on"},
         "VANTREL_LOCK_TIMEOUT_MS takes milliseconds from 0 to 2147483647, not [-1]",
         {{"VANTREL_LOCK_TIMEOUT_MS", "-1"}}},
    };
    for (const auto& c : cases) {
        const finished run = run_vantrel(on_port(c.args), c.env);
        EXPECT_EQ(2, run.status) << c.message;
        EXPECT_EQ("vantrel: " + c.message + "\n", run.err);
        EXPECT_EQ("", run.out);
    }
    EXPECT_TRUE(mark_.events().empty()) << "bad input reached the lines";
}

TEST_F(Vantrel, APortThatFailsExitsOneNamingWhatFailedAndLeavesTheLinesIdle) {
    const std::string plain_file = scratch() + "/not-a-port";
    std::ofstream(plain_file).put('\n');
    const int bare = posix_openpt(O_RDWR | O_NOCTTY);  // a pty without the shim's modem lines
    ASSERT_TRUE(bare >= 0 && grantpt(bare) == 0 && unlockpt(bare) == 0);
    const std::string bare_pty = ptsname(bare);
    struct stat device {};
    ASSERT_EQ(0, stat(port.c_str(), &device));
    const std::string lock_file =
        "/nonexistent/vantrel-" + std::to_string(device.st_rdev) + ".lock";

    const struct {
        std::string device;
        long failing_write;  // of the shim's count for the process; -1 fails the configuration
        std::string message;
        env_list env = {};
    } cases[] = {
        {"/nonexistent/tty", 0, "can't open /nonexistent/tty: " + std::string(strerror(ENOENT))},
        {plain_file, 0, "can't open " + plain_file + ": not a serial device"},
        {bare_pty, 0, "can't set DTR on " + bare_pty + ": " + strerror(ENOTTY)},
        {port,
         0,
         "can't lock " + port + " with " + lock_file + ": " + strerror(ENOENT),
         {{"VANTREL_LOCK_DIR", "/nonexistent"}}},
        {port, -1, "can't configure " + port + ": " + strerror(EIO)},
        {port, 1, "can't set DTR on " + port + ": " + strerror(EIO)},
        {port, 2, "can't set RTS on " + port + ": " + strerror(EIO)},
        {port, 2 + 1, "can't clear DTR on " + port + ": " + strerror(EIO)},  // the reset
        {port, 2 + 2, "can't clear RTS on " + port + ": " + strerror(EIO)},
        {port, 2 + 76, "can't clear RTS on " + port + ": " + strerror(EIO)},  // 2nd code bit, 0
        {port, 2 + 166, "can't set DTR on " + port + ": " + strerror(EIO)},
    };
    for (const auto& c : cases) {
        const test::trace_mark mark;
        test::fail_write_number(c.failing_write);
        const finished run = run_vantrel(on_port({"--port", c.device, "E1,E2", "on"}), c.env);
        test::fail_write_number(0);
        EXPECT_EQ(1, run.status) << c.message;
        EXPECT_EQ("vantrel: E1 ON: " + c.message + "\n", run.err);
        const auto events = mark.events();
        if (c.device != port || c.failing_write == 0) {
            EXPECT_TRUE(events.empty()) << c.message;
            continue;
        }
        ASSERT_FALSE(events.empty()) << c.message;
        EXPECT_EQ("CLOSE", events.back().kind) << c.message << ": the port was left open";
        const auto sessions = mark.sessions();
        ASSERT_LE(sessions.size(), 1u) << "the list went on after a failure: " << c.message;
        if (c.failing_write <= 2) {
            // The configuration failed; no frame began, and the lines are as the open left them.
            for (const auto& s : sessions) EXPECT_FALSE(s.has_frame) << c.message;
            continue;
        }
        ASSERT_EQ(1u, sessions.size()) << c.message;
        const cm17a::event& last = sessions[0].writes.back();
        EXPECT_TRUE(last.dtr && last.rts)
            << c.message << ": lines left at DTR " << last.dtr << ", RTS " << last.rts;
    }
    close(bare);
}

TEST_F(Vantrel, AStopSignalEndsTheFrameWithTheLinesIdleAndThePortClosed) {
    const struct {
        int signal;
        const char* name;
        const char* clock;
        const char* reset;
        std::size_t events_before;  // where the frame is when the signal comes
    } cases[] = {
        {SIGINT, "SIGINT", "0", "60000", 4},    // in the reset, both lines cleared
        {SIGTERM, "SIGTERM", "1000", "0", 10},  // in the header's first 1: DTR cleared
        {SIGHUP, "SIGHUP", "60000", "0", 6},    // idle after the blank
    };
    for (const auto& c : cases) {
        const test::trace_mark mark;
        vantrel_process p(on_port({"--clock-rate", c.clock, "--reset", c.reset, "E1,E2", "on"}));
        ASSERT_TRUE(wait_for_events(mark, c.events_before, p)) << c.name;
        ASSERT_EQ(0, kill(p.pid(), c.signal));
        const finished run = p.finish();
        EXPECT_EQ(128 + c.signal, run.status) << c.name << ": " << run.err;
        EXPECT_TRUE(run.by_signal) << c.name << ": a calling shell would not see it stopped";
        EXPECT_EQ(std::string("vantrel: E1 ON: stopped by ") + c.name +
                      "; the lines are back to idle and the port is closed\n",
                  run.err);
        const auto sessions = mark.sessions();
        ASSERT_EQ(1u, sessions.size()) << c.name << ": the list went on";
        const cm17a::session& s = sessions[0];
        EXPECT_EQ(c.events_before + 2, s.writes.size()) << c.name << ": RTS and DTR raised once";
        EXPECT_TRUE(s.writes.back().dtr && s.writes.back().rts) << c.name;
        EXPECT_TRUE(s.closed) << c.name;
    }
}

TEST_F(Vantrel, TwoRunsAtOnceSendWholeFramesOnly) {
    const args_list timing = {"--clock-rate", "1"};
    args_list g = on_port(timing), h = on_port(timing);
    g.insert(g.end(), {"G1-8", "on"});
    h.insert(h.end(), {"H1-8", "off"});
    vantrel_process first(g), second(h);
    const finished a = first.finish(), b = second.finish();
    EXPECT_EQ(0, a.status) << a.err;
    EXPECT_EQ(0, b.status) << b.err;
    std::map<std::string, int> counts;
    for (const std::string& name : whole_frames(mark_.sessions())) ++counts[name];
    for (int unit = 1; unit <= 8; ++unit) {
        EXPECT_EQ(1, counts["G" + std::to_string(unit) + "ON"]) << "G" << unit;
        EXPECT_EQ(1, counts["H" + std::to_string(unit) + "OFF"]) << "H" << unit;
    }
}

TEST_F(Vantrel, ASenderThatCannotHaveThePortSendsNothing) {
    vantrel_process holder(on_port({"--clock-rate", "20", "J1", "on"}));  // about 1.7 s
    ASSERT_TRUE(wait_for_events(mark_, 4, holder));

    const auto start = std::chrono::steady_clock::now();
    const finished late = run_vantrel(on_port({"J2", "on"}), {{"VANTREL_LOCK_TIMEOUT_MS", "100"}});
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(1, late.status);
    EXPECT_EQ("vantrel: J2 ON: " + port + " is busy: another sender held it longer than 0.1 s\n",
              late.err);
    EXPECT_GE(waited, std::chrono::milliseconds(100)) << "gave up before the bound";

    vantrel_process stopped(on_port({"J3", "on"}));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(holder.running()) << "the holder's frame ended before the test was done";
    ASSERT_EQ(0, kill(stopped.pid(), SIGINT));
    const finished interrupted = stopped.finish();
    EXPECT_EQ(130, interrupted.status);
    EXPECT_EQ("vantrel: J3 ON: stopped by SIGINT while waiting for " + port +
                  "; nothing of it was sent\n",
              interrupted.err);

    EXPECT_EQ(0, holder.finish().status);
    EXPECT_EQ(std::vector<std::string>{"J1ON"}, whole_frames(mark_.sessions()));
}

TEST(VantrelText, HelpAndVersion) {
    const finished help = run_vantrel({"--help"});
    EXPECT_EQ(0, help.status);
    EXPECT_EQ(0u, help.out.find("usage: vantrel [options] SWITCH on|off\n")) << help.out;
    const finished version = run_vantrel({"E1", "--version"});
    EXPECT_EQ(0, version.status);
    EXPECT_EQ("vantrel " VANTREL_VERSION_STRING "\n", version.out);
}
