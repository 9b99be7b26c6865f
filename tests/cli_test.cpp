// vantrel end to end: the program itself on the virtual CM17A. Runs inside
// "cm17a run --link PORT"; every vantrel started here inherits the modem-line shim, and what
// the shim recorded is read back here.
#include "child_process.h"
#include "expected_frame.h"
#include "trace_support.h"
#include "version.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;
using std::chrono::steady_clock;

const std::string port = VANTREL_TEST_PORT;

using args_list = std::vector<std::string>;
using test::env_list;
using test::inheritance;

// The lock files and the programs' output, in the build tree beside the port's link: cleared
// when the tests start, so that even a run killed before its end leaves nothing for long, and
// removed when they end.
const std::string& scratch() {
    static const struct folder {
        std::string path = fs::path(port).replace_filename("cli_test.scratch").string();
        folder() {
            std::error_code ignored;
            fs::remove_all(path, ignored);
            if (!fs::create_directory(path, ignored)) path.clear();
            chmod(path.c_str(), 0755);  // reachable for the unprivileged runs
        }
        ~folder() {
            std::error_code ignored;
            fs::remove_all(path, ignored);
        }
    } dir;
    return dir.path;
}

// A descriptor of the test's own, closed on every path out of the test.
struct owned_fd {
    int fd;
    ~owned_fd() {
        if (fd >= 0) close(fd);
    }
};

std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The lock file that the README names for the test's port in folder dir.
std::string lock_file(const std::string& dir) {
    struct stat device {};
    EXPECT_EQ(0, stat(port.c_str(), &device));
    return dir + "/vantrel-" + std::to_string(device.st_rdev) + ".lock";
}

struct finished {
    int status = -1;  // as a shell's $? shows it: the exit status, or 128 + the signal
    bool by_signal = false;
    std::string out, err;
};

// vantrel on the virtual CM17A's port with no waits; later options in args override these.
args_list on_port(const args_list& args) {
    args_list all = {"--port",    port, "--clock-rate", "0", "--reset", "0",
                     "--standby", "0",  "--gap",        "0"};
    all.insert(all.end(), args.begin(), args.end());
    return all;
}

// As nobody, where the test runs as root (who may open anything); otherwise as the test's
// own user, whom a mode without permission bits keeps out as well.
void as_unprivileged() {
    if (geteuid() != 0) return;
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(125);
}

// A vantrel process, ended with its test at the latest. Its lock files go to the scratch
// folder; VANTREL_PORT and the lock timeout are unset unless env sets them.
class vantrel_process {
  public:
    explicit vantrel_process(const args_list& args, const env_list& env = {},
                             const inheritance& setup = {})
        : child_(with_program(args), next_output_base(), with_lock_dir(env), [env, setup] {
              for (const char* name : {"VANTREL_PORT", "VANTREL_LOCK_TIMEOUT_MS"}) {
                  if (std::none_of(env.begin(), env.end(),
                                   [&](const auto& given) { return given.first == name; }))
                      unsetenv(name);
              }
              if (setup) setup();
          }) {}

    pid_t pid() const { return child_.pid(); }
    bool running() const { return child_.running(); }
    // Killed, and a failure, if it has not ended after a bound far above any run here.
    finished finish() {
        int status = child_.finish(std::chrono::seconds(30));
        if (status < 0) {
            ADD_FAILURE() << "vantrel hung; killed";
            child_.signal(SIGKILL);
            status = child_.finish();
        }
        return {status, child_.ended_by_signal(), child_.out(), child_.err()};
    }

  private:
    static args_list with_program(args_list args) {
        args.insert(args.begin(), VANTREL_PATH);
        return args;
    }
    static std::string next_output_base() {
        static int runs = 0;
        return scratch() + "/run" + std::to_string(++runs);
    }
    // The environment's own VANTREL_LOCK_DIR first, so that env may still set another.
    static env_list with_lock_dir(env_list env) {
        env.insert(env.begin(), {"VANTREL_LOCK_DIR", scratch()});
        return env;
    }
    test::child child_;
};

finished run_vantrel(const args_list& args, const env_list& env = {},
                     const inheritance& setup = {}) {
    return vantrel_process(args, env, setup).finish();
}

// Until ready() holds; false when the process ended first.
bool wait_until(const std::function<bool()>& ready, const vantrel_process& p) {
    while (!ready()) {
        if (!p.running()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Until the kernel lists p as blocked on the flock of the file with this inode: by then its
// handlers are in place too.
bool wait_blocked_on(ino_t inode, const vantrel_process& p) {
    const std::string waiter = " " + std::to_string(p.pid()) + " ";
    const std::string file = ":" + std::to_string(inode) + " ";
    return wait_until(
        [&] {
            std::istringstream locks(read_text("/proc/locks"));
            for (std::string line; std::getline(locks, line);)
                if (line.find("-> FLOCK") != line.npos && line.find(waiter) != line.npos &&
                    line.find(file) != line.npos)
                    return true;
            return false;
        },
        p);
}

bool wait_for_events(const test::trace_mark& mark, std::size_t n, const vantrel_process& p) {
    return wait_until([&] { return mark.events().size() >= n; }, p);
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
    EXPECT_EQ("B7OFF", s.name);
    std::vector<std::string> writes;
    for (const cm17a::event& e : s.writes) writes.push_back(e.kind);
    std::vector<std::string> expected = {"DTR+", "RTS+"};  // raised once the port is configured
    // B7 OFF: house B 0111 0000, unit 7 (+4, +2) and OFF 0110 1000.
    const auto frame = test::expected_frame_writes("0111000001101000");
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
        EXPECT_EQ("dry run: 2 frames for " + device +
                      " (clock 0, reset 0, standby 0 ms); nothing is sent\n"
                      "E2 ON     \" 1101010110101010\" 1000000000010000 10101101\n"
                      "E3 ON     \" 1101010110101010\" 1000000000001000 10101101\n",
                  run.out);
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
    const owned_fd bare{posix_openpt(O_RDWR | O_NOCTTY)};  // a pty without the shim's lines
    ASSERT_TRUE(bare.fd >= 0 && grantpt(bare.fd) == 0 && unlockpt(bare.fd) == 0);
    const std::string bare_pty = ptsname(bare.fd);

    const struct {
        std::string device;
        long failing_write;  // of the shim's count for the process; -1 fails the configuration
        std::string message;
    } cases[] = {
        {"/nonexistent/tty", 0, "can't open /nonexistent/tty: " + std::string(strerror(ENOENT))},
        {plain_file, 0, "can't open " + plain_file + ": not a serial device"},
        {bare_pty, 0, "can't set DTR on " + bare_pty + ": " + strerror(ENOTTY)},
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
        const finished run = run_vantrel(on_port({"--port", c.device, "E1,E2", "on"}));
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
}

// Anyone may plant something in a shared lock folder, or keep others out of it.
TEST_F(Vantrel, ALockFileThatCannotServeIsRefusedAtOnceAndNothingIsSent) {
    // Where a followed link would lead; watched for any open, change or creation in it.
    const std::string elsewhere = scratch() + "/elsewhere";
    ASSERT_TRUE(fs::create_directory(elsewhere));
    std::ofstream(elsewhere + "/precious") << "not a lock file\n";
    const owned_fd watch{inotify_init1(IN_NONBLOCK | IN_CLOEXEC)};
    ASSERT_GE(inotify_add_watch(watch.fd, elsewhere.c_str(), IN_ALL_EVENTS), 0);
    // So that a frame sent by mistake would reach the trace from an unprivileged run too. Both
    // live only as long as this run of the virtual CM17A.
    ASSERT_EQ(0, chmod(fs::canonical(port).c_str(), 0666));
    ASSERT_EQ(0, chmod(test::host_file("CM17A_TRACE").c_str(), 0666));

    const struct {
        const char* what;
        std::function<void(const std::string& dir, const std::string& lock)> plant;
        std::string reason;
        bool unprivileged = false;
    } cases[] = {
        {"a FIFO", [](auto&, auto& lock) { mkfifo(lock.c_str(), 0666); },
         "a FIFO, not a lock file"},
        {"a dangling link",
         [&](auto&, auto& lock) { fs::create_symlink(elsewhere + "/missing", lock); },
         "a symbolic link, not a lock file"},
        {"a link to a file",
         [&](auto&, auto& lock) { fs::create_symlink(elsewhere + "/precious", lock); },
         "a symbolic link, not a lock file"},
        {"a file closed to the user", [](auto&, auto& lock) { close(creat(lock.c_str(), 0)); },
         strerror(EACCES), true},
        {"a folder closed to the user", [](auto& dir, auto&) { chmod(dir.c_str(), 0555); },
         strerror(EACCES), true},
        {"no folder", [](auto& dir, auto&) { fs::remove(dir); }, strerror(ENOENT)},
    };
    int row = 0;
    for (const auto& c : cases) {
        const std::string dir = scratch() + "/locks" + std::to_string(++row), lock = lock_file(dir);
        fs::create_directory(dir);
        chmod(dir.c_str(), 0755);
        c.plant(dir, lock);
        const test::trace_mark mark;
        // "At once" without timing it: a run that tried again until this lock timeout (ten
        // hours) would outlast finish()'s bound and fail as hung.
        const finished run = run_vantrel(
            on_port({"E1", "on"}),
            {{"VANTREL_LOCK_DIR", dir}, {"VANTREL_LOCK_TIMEOUT_MS", "36000000"}},
            c.unprivileged ? as_unprivileged : inheritance());
        EXPECT_EQ(1, run.status) << c.what;
        EXPECT_EQ("vantrel: E1 ON: can't lock " + port + " with " + lock + ": " + c.reason +
                      "; set VANTREL_LOCK_DIR to use another folder\n",
                  run.err)
            << c.what;
        EXPECT_TRUE(mark.events().empty()) << c.what << ": a line was written";
        alignas(inotify_event) char event[sizeof(inotify_event) + NAME_MAX + 1];
        const ssize_t n = read(watch.fd, event, sizeof event);
        EXPECT_LT(n, 0) << c.what << ": " << reinterpret_cast<inotify_event*>(event)->name
                        << " reached, event mask " << reinterpret_cast<inotify_event*>(event)->mask;
    }
}

TEST_F(Vantrel, AStopSignalEndsTheFrameWithTheLinesIdleAndThePortClosed) {
    const struct {
        std::vector<int> signals;  // the first alone counts
        const char* name;
        const char* clock;
        const char* reset;
        std::size_t events_before;  // where the frame is when the signals come
        bool at_once = false;       // all pending together, else sent back to back
    } cases[] = {
        {{SIGINT}, "SIGINT", "0", "60000", 4},    // in the reset, both lines cleared
        {{SIGTERM}, "SIGTERM", "1000", "0", 10},  // in the header's first 1: DTR cleared
        {{SIGHUP}, "SIGHUP", "60000", "0", 6},    // idle after the blank
        // In rising order, in which the kernel also hands over signals pending together.
        {{SIGHUP, SIGINT, SIGTERM}, "SIGHUP", "60000", "0", 6},
        {{SIGHUP, SIGINT, SIGTERM}, "SIGHUP", "60000", "0", 6, true},
    };
    for (const auto& c : cases) {
        const std::string what = c.name + std::string(c.signals.size() > 1 ? " first" : "") +
                                 (c.at_once ? ", all at once" : "");
        const test::trace_mark mark;
        vantrel_process p(on_port({"--clock-rate", c.clock, "--reset", c.reset, "E1,E2", "on"}));
        ASSERT_TRUE(wait_for_events(mark, c.events_before, p)) << what;
        int stopped = 0;  // held stopped while they are sent
        if (c.at_once) {
            ASSERT_EQ(0, kill(p.pid(), SIGSTOP));
            ASSERT_EQ(p.pid(), waitpid(p.pid(), &stopped, WUNTRACED));
        }
        for (int signal : c.signals) ASSERT_EQ(0, kill(p.pid(), signal));
        if (c.at_once) {
            ASSERT_EQ(0, kill(p.pid(), SIGCONT));
        }
        const finished run = p.finish();
        EXPECT_EQ(128 + c.signals[0], run.status) << what << ": " << run.err;
        EXPECT_TRUE(run.by_signal) << what << ": a calling shell would not see it stopped";
        EXPECT_EQ(std::string("vantrel: E1 ON: stopped by ") + c.name +
                      "; the lines are back to idle and the port is closed\n",
                  run.err)
            << what;
        const auto sessions = mark.sessions();
        ASSERT_EQ(1u, sessions.size()) << what << ": the list went on";
        const cm17a::session& s = sessions[0];
        EXPECT_EQ(c.events_before + 2, s.writes.size()) << what << ": RTS and DTR raised once";
        EXPECT_TRUE(s.writes.back().dtr && s.writes.back().rts) << what;
        EXPECT_TRUE(s.closed) << what;
    }
}

// Stopped between the frames of one work, vantrel says which frame it did not send, so that
// nobody takes the frames before it for unsent.
TEST_F(Vantrel, AStopSignalWithinAWorkNamesTheFrameItCameBefore) {
    const test::trace_mark mark;
    vantrel_process p(on_port({"--gap", "60000", "dim", "E", "3"}));
    ASSERT_TRUE(wait_until([&] {
        const auto sessions = mark.sessions();
        return !sessions.empty() && sessions[0].closed;
    }, p));
    ASSERT_EQ(0, kill(p.pid(), SIGTERM));
    const finished run = p.finish();
    EXPECT_EQ(128 + SIGTERM, run.status) << run.err;
    EXPECT_EQ("vantrel: E DIM (frame 2 of 3): stopped by SIGTERM before the frame; nothing of it "
              "was sent\n",
              run.err);
    EXPECT_EQ(1u, mark.sessions().size());
}

TEST_F(Vantrel, AStopSignalIgnoredAtStartStaysIgnored) {
    const struct {
        const char* as;
        int signal;
    } cases[] = {{"nohup", SIGHUP}, {"trap '' INT", SIGINT}};
    for (const auto& c : cases) {
        const test::trace_mark mark;
        vantrel_process p(on_port({"--clock-rate", "2", "E1", "on"}), {},
                          [&] { signal(c.signal, SIG_IGN); });
        ASSERT_TRUE(wait_for_events(mark, 20, p)) << c.as;
        ASSERT_EQ(0, kill(p.pid(), c.signal));
        const finished run = p.finish();
        EXPECT_EQ(0, run.status) << c.as;
        EXPECT_EQ("", run.err) << c.as;
        EXPECT_EQ(std::vector<std::string>{"E1ON"}, whole_frames(mark.sessions())) << c.as;
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

// Another sender holds the lock (the test, by the lock file the README names) for as long as
// this test runs.
TEST_F(Vantrel, ASenderThatCannotHaveThePortSendsNothing) {
    const std::string lock = lock_file(scratch());
    const owned_fd holder{open(lock.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644)};
    ASSERT_EQ(0, flock(holder.fd, LOCK_EX));
    struct stat held {};
    ASSERT_EQ(0, fstat(holder.fd, &held));
    const std::string busy =
        "vantrel: J1 ON: " + port + " is busy: another sender held it longer than 0.1 s\n";
    const std::string stopped = "vantrel: J1 ON: stopped by SIGINT while waiting for " + port +
                                "; nothing of it was sent\n";

    const struct {
        const char* what;
        inheritance parent;
        int status;  // 130: SIGINT sent once it waits for the lock
        std::string err;
    } cases[] = {
        {"waiting out the timeout", {}, 1, busy},
        {"every signal but the stop signals blocked",
         [] {
             sigset_t all;
             sigfillset(&all);
             for (int stop : {SIGINT, SIGTERM, SIGHUP}) sigdelset(&all, stop);
             sigprocmask(SIG_SETMASK, &all, nullptr);
         },
         1, busy},
        {"the parent's alarm, kept", [] { alarm(1); }, 128 + SIGALRM, ""},
        {"no timer to be had for the wait",
         [] {
             const rlimit none{0, 0};
             setrlimit(RLIMIT_SIGPENDING, &none);
         },
         1, busy},
        {"stopped while waiting", {}, 130, stopped},
    };
    for (const auto& c : cases) {
        const auto start = steady_clock::now();
        const std::string timeout = c.status == 1 ? "100" : "60000";
        vantrel_process p(on_port({"J1", "on"}), {{"VANTREL_LOCK_TIMEOUT_MS", timeout}}, c.parent);
        if (c.status == 130) {
            ASSERT_TRUE(wait_blocked_on(held.st_ino, p)) << c.what;
            ASSERT_EQ(0, kill(p.pid(), SIGINT));
        }
        const finished run = p.finish();
        EXPECT_EQ(c.status, run.status) << c.what;
        EXPECT_EQ(c.err, run.err) << c.what;
        if (c.status == 1) {
            EXPECT_GE(steady_clock::now() - start, std::chrono::milliseconds(100))
                << c.what << ": gave up before the bound";
        }
    }
    EXPECT_TRUE(mark_.events().empty()) << "a line was written";
}

// Removed and made anew while a sender waited on it, the old file locks nothing: another
// sender may hold the new one, and the waiter must wait for that one too.
TEST_F(Vantrel, ALockFileReplacedWhileWaitedForIsNotTrusted) {
    const std::string lock = lock_file(scratch());
    owned_fd first{open(lock.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644)};
    ASSERT_EQ(0, flock(first.fd, LOCK_EX));
    struct stat old_file {
    }, new_file{};
    ASSERT_EQ(0, fstat(first.fd, &old_file));
    vantrel_process p(on_port({"J2", "on"}));
    ASSERT_TRUE(wait_blocked_on(old_file.st_ino, p));

    ASSERT_EQ(0, unlink(lock.c_str()));
    owned_fd second{open(lock.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644)};
    ASSERT_EQ(0, flock(second.fd, LOCK_EX));
    ASSERT_EQ(0, fstat(second.fd, &new_file));
    close(first.fd);
    first.fd = -1;
    ASSERT_TRUE(wait_blocked_on(new_file.st_ino, p)) << "it sent while the new file was held";
    EXPECT_TRUE(mark_.events().empty());

    close(second.fd);
    second.fd = -1;
    const finished run = p.finish();
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_EQ(std::vector<std::string>{"J2ON"}, whole_frames(mark_.sessions()));
}

// While a frame is on the lines the port is vantrel's alone: another program's open fails (an
// unprivileged one: root may open an exclusive tty all the same), and succeeds again after.
TEST_F(Vantrel, AFrameHasThePortToItself) {
    ASSERT_EQ(0, chmod(fs::canonical(port).c_str(), 0666));
    const auto open_elsewhere = [] {  // the errno of an unprivileged open, or 0
        const pid_t child = fork();
        if (child == 0) {
            as_unprivileged();
            const int fd = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            _exit(fd >= 0 ? 0 : errno);
        }
        int status = 0;
        waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    vantrel_process p(on_port({"--reset", "60000", "E1", "on"}));
    ASSERT_TRUE(wait_for_events(mark_, 4, p));  // in the reset
    EXPECT_EQ(EBUSY, open_elsewhere());
    ASSERT_EQ(0, kill(p.pid(), SIGINT));
    EXPECT_EQ(130, p.finish().status);
    EXPECT_EQ(0, open_elsewhere()) << "the port stayed exclusive";
}

TEST(VantrelText, HelpAndVersion) {
    const finished help = run_vantrel({"--help"});
    EXPECT_EQ(0, help.status);
    EXPECT_EQ(0u, help.out.find("usage: vantrel [options] SWITCH on|off\n")) << help.out;
    const finished version = run_vantrel({"E1", "--version"});
    EXPECT_EQ(0, version.status);
    EXPECT_EQ("vantrel " VANTREL_VERSION_STRING "\n", version.out);
}
