// cm17a: a virtual CM17A on a pty. Maps the pty as a Wine COM port (or as a path of its own, for
// native programs), runs a command with the modem-line shim preloaded, then prints what the
// CM17A received and the waits it saw.
#include "decoder.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char usage[] =
    "usage: cm17a run [options] -- COMMAND [ARG...]\n"
    "       cm17a decode TRACE [--svg FILE] [--asked CLOCK,RESET,STANDBY]\n"
    "run options:\n"
    "  --prefix DIR      Wine prefix whose dosdevices get the port (default: $WINEPREFIX)\n"
    "  --port NAME       port to map, e.g. com5 (default com5)\n"
    "  --link PATH       map the pty as PATH (a symbolic link) instead, for a native\n"
    "                    program; no Wine prefix is needed\n"
    "  --trace FILE      keep the line trace in FILE (default: a temporary file)\n"
    "  --svg FILE        draw the DTR/RTS waveform of the last frame as SVG\n"
    "  --asked C,R,S     the ClockRate, ResetDuration and StandByDuration asked for, in ms\n"
    "  --quiet           print nothing; only run the command under the virtual CM17A\n"
    "  --no-shim         map a bare pty (no modem lines: every line write fails)\n";

struct options {
    std::string prefix, port = "com5", link, trace, svg, asked;
    bool quiet = false;
    bool shim = true;
    std::vector<std::string> command;
};

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::string shim_pattern() {
    // ld.so expands $LIB to the multiarch folder of the process's own word size, so one
    // setting serves 32-bit and 64-bit Wine alike.
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string dir = n > 0 ? std::string(self, static_cast<std::size_t>(n)) : std::string(".");
    dir = dir.substr(0, dir.rfind('/'));
    return dir + "/$LIB/cm17a_shim.so";
}

double ms(long long ns) { return static_cast<double>(ns) / 1e6; }

bool parse_asked(const std::string& text, double asked[3]) {
    return !text.empty() &&
           std::sscanf(text.c_str(), "%lf,%lf,%lf", &asked[0], &asked[1], &asked[2]) == 3;
}

void report(const std::vector<cm17a::session>& sessions, const std::string& asked_text) {
    double asked[3];
    const bool have_asked = parse_asked(asked_text, asked);
    int frames = 0;
    for (const cm17a::session& s : sessions) {
        if (!s.has_frame) {
            std::printf("port opened: %zu line writes, no frame\n", s.writes.size());
            continue;
        }
        ++frames;
        if (s.complete && !s.meaning.empty()) {
            std::printf("CM17A received: %s   (code %s)\n", s.meaning.c_str(),
                        s.bits.substr(16, 16).c_str());
        } else if (s.complete) {
            std::printf("CM17A received: a frame with an unknown code %s\n",
                        s.bits.substr(16, 16).c_str());
        } else {
            std::printf("CM17A received: an incomplete frame (%zu bits: %s)%s\n", s.bits.size(),
                        s.bits.c_str(), s.failed_write ? ", a line write failed" : "");
        }
        std::printf("  line writes: %zu from the reset to the %s\n", s.frame_writes,
                    s.closed ? "close" : "end of the trace (port left open)");
        if (s.reset_wait_ns >= 0) std::printf("  reset wait: %.3f ms\n", ms(s.reset_wait_ns));
        if (!s.clock_waits_ns.empty()) {
            const auto [lo, hi] =
                std::minmax_element(s.clock_waits_ns.begin(), s.clock_waits_ns.end());
            long long sum = 0;
            for (long long w : s.clock_waits_ns) sum += w;
            std::printf("  clock waits: %zu, min %.3f ms, mean %.3f ms, max %.3f ms\n",
                        s.clock_waits_ns.size(), ms(*lo),
                        ms(sum) / static_cast<double>(s.clock_waits_ns.size()), ms(*hi));
        }
        if (s.tail_wait_ns >= 0)
            std::printf("  last write to close: %.3f ms (last clock wait and standby)\n",
                        ms(s.tail_wait_ns));
        if (s.frame_ns >= 0) {
            std::printf("  frame: %.3f ms from the reset to the close", ms(s.frame_ns));
            if (have_asked)
                std::printf(" (waits asked: %.3f ms)", asked[1] + 82 * asked[0] + asked[2]);
            std::printf("\n");
        }
    }
    if (frames == 0) std::printf("CM17A received: nothing\n");
}

void write_svg(const std::vector<cm17a::session>& sessions, const std::string& path) {
    const cm17a::session* frame = nullptr;
    for (const auto& s : sessions)
        if (s.has_frame) frame = &s;
    if (!frame) return;
    const auto& w = frame->writes;
    const long long t0 = w[frame->frame_start].t_ns;
    const long long t1 = frame->closed ? frame->close_t_ns : w.back().t_ns;
    const double width = 1200, span = static_cast<double>(std::max(1LL, t1 - t0));
    auto x = [&](long long t) { return 60 + (width - 80) * static_cast<double>(t - t0) / span; };
    std::ofstream out(path);
    out << "<svg xmlns='http://www.w3.org/2000/svg' width='" << width
        << "' height='170' font-family='sans-serif' font-size='12'>\n"
        << "<rect width='100%' height='100%' fill='white'/>\n"
        << "<text x='10' y='16'>" << (frame->meaning.empty() ? "frame" : frame->meaning)
        << " - " << ms(t1 - t0) << " ms</text>\n";
    for (int lane = 0; lane < 2; ++lane) {
        const double high = 45 + lane * 60, low = high + 35;
        out << "<text x='10' y='" << low - 10 << "'>" << (lane ? "RTS" : "DTR") << "</text>\n";
        out << "<polyline fill='none' stroke='" << (lane ? "#c33" : "#36c")
            << "' stroke-width='1.5' points='";
        double level = low;
        out << x(t0) << ',' << level;
        for (std::size_t i = frame->frame_start; i < w.size(); ++i) {
            if (w[i].kind == "FAIL") continue;
            const double next = (lane ? w[i].rts : w[i].dtr) ? high : low;
            out << ' ' << x(w[i].t_ns) << ',' << level << ' ' << x(w[i].t_ns) << ',' << next;
            level = next;
        }
        out << ' ' << x(t1) << ',' << level << "'/>\n";
    }
    out << "</svg>\n";
}

// A new file of the given mode (whatever the umask) in folder dir, named kind-XXXXXX; its path.
std::string private_file(const char* dir, const char* kind, mode_t mode) {
    std::string name = std::string(dir) + "/" + kind + "-XXXXXX";
    const int fd = mkstemp(name.data());
    if (fd < 0 || fchmod(fd, mode) != 0)
        std::fprintf(stderr, "cm17a: cannot make %s: %s\n", name.c_str(), std::strerror(errno));
    if (fd >= 0) close(fd);
    return name;
}

// The first session leader without a terminal that opens the pty takes it as its controlling
// terminal; left free, that is the wineserver, which then gets SIGHUP (and dumps its state)
// when the master closes. A holder process of our own takes it first.
pid_t hold_as_controlling_terminal(const std::string& slave) {
    int ready[2];
    if (pipe(ready) != 0) return -1;
    const pid_t parent = getpid();
    const pid_t holder = fork();
    if (holder == 0) {
        close(ready[0]);
        // Gone with cm17a even when cm17a is killed outright, so that no pty is left behind.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(0);
        setsid();
        const int fd = open(slave.c_str(), O_RDWR);
        const char byte = fd >= 0 ? 1 : 0;
        if (write(ready[1], &byte, 1) != 1) _exit(1);
        close(ready[1]);
        for (;;) pause();
    }
    close(ready[1]);
    char byte = 0;
    if (read(ready[0], &byte, 1) != 1) byte = 0;
    close(ready[0]);
    return holder;
}

void release_terminal(pid_t holder, int master) {
    if (holder > 0) {
        kill(holder, SIGKILL);
        waitpid(holder, nullptr, 0);
    }
    close(master);
}

// The command cm17a runs, while it runs: a stop signal to cm17a goes on to it, and cm17a cleans
// up once it has ended.
volatile sig_atomic_t command_pid = 0;

void pass_on(int signal) {
    if (command_pid > 0) kill(command_pid, signal);
}

constexpr int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};

// Blocked around the fork, so that a stop signal cannot fall between the fork and the moment
// cm17a knows whom to pass it to. One ignored at start stays ignored, as it is for the command.
void catch_stop_signals(sigset_t& previous) {
    sigset_t stops;
    sigemptyset(&stops);
    struct sigaction action {};
    action.sa_handler = pass_on;
    sigemptyset(&action.sa_mask);
    for (int signal : stop_signals) {
        sigaddset(&stops, signal);
        struct sigaction inherited {};
        if (sigaction(signal, nullptr, &inherited) == 0 && inherited.sa_handler != SIG_IGN) {
            sigaction(signal, &action, nullptr);
        }
    }
    sigprocmask(SIG_BLOCK, &stops, &previous);
}

int run(const options& o) {
    const char* env_prefix = getenv("WINEPREFIX");
    std::string prefix = !o.prefix.empty() ? o.prefix : env_prefix ? env_prefix : "";
    // Wine takes only absolute prefixes.
    if (char* absolute = prefix.empty() ? nullptr : realpath(prefix.c_str(), nullptr)) {
        prefix = absolute;
        free(absolute);
    }
    if (prefix.empty() && o.link.empty()) {
        std::fprintf(stderr, "cm17a: no Wine prefix (use --prefix or WINEPREFIX) and no --link\n");
        return 2;
    }
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("cm17a: pty");
        return 2;
    }
    const std::string slave = ptsname(master);
    const pid_t holder = hold_as_controlling_terminal(slave);

    // The command may run as another user (setpriv, sudo -u): the shim in it must be able to
    // append to the trace and read the control file. Both lie in a folder of this run that no
    // one else can list, under names no one else can learn, so that only the command is given
    // the way to them.
    char private_dir[] = "/tmp/cm17a-XXXXXX";
    if (!mkdtemp(private_dir) || chmod(private_dir, 0711) != 0) {
        std::fprintf(stderr, "cm17a: cannot make a folder in /tmp: %s\n", std::strerror(errno));
        rmdir(private_dir);
        release_terminal(holder, master);
        return 2;
    }

    std::string port = o.port;
    std::transform(port.begin(), port.end(), port.begin(), ::tolower);
    const std::string link = !o.link.empty() ? o.link : prefix + "/dosdevices/" + port;
    char previous[4096];
    const ssize_t prev_len = readlink(link.c_str(), previous, sizeof previous - 1);
    unlink(link.c_str());
    if (symlink(slave.c_str(), link.c_str()) != 0) {
        std::fprintf(stderr, "cm17a: cannot map %s: %s\n", link.c_str(), std::strerror(errno));
        rmdir(private_dir);
        release_terminal(holder, master);
        return 2;
    }

    std::string trace = o.trace;
    bool temporary_trace = false;
    if (trace.empty()) {
        trace = private_file(private_dir, "trace", 0622);
        temporary_trace = true;
    }
    { std::ofstream(trace, std::ios::trunc); }
    const std::string control = private_file(private_dir, "control", 0644);
    if (const int control_fd = open(control.c_str(), O_WRONLY | O_CLOEXEC); control_fd >= 0) {
        const char blank[32] = "0                              ";
        if (write(control_fd, blank, sizeof blank) != static_cast<ssize_t>(sizeof blank)) {
            std::fprintf(stderr, "cm17a: cannot write %s\n", control.c_str());
        }
        close(control_fd);
    }

    sigset_t previous_mask;
    catch_stop_signals(previous_mask);
    const pid_t child = fork();
    if (child == 0) {
        for (int number : stop_signals) {
            struct sigaction mine {};
            if (sigaction(number, nullptr, &mine) == 0 && mine.sa_handler == pass_on) {
                ::signal(number, SIG_DFL);
            }
        }
        sigprocmask(SIG_SETMASK, &previous_mask, nullptr);
        close(master);
        if (!prefix.empty()) setenv("WINEPREFIX", prefix.c_str(), 1);
        setenv("CM17A_PTY", slave.c_str(), 1);
        setenv("CM17A_TRACE", trace.c_str(), 1);
        setenv("CM17A_CONTROL", control.c_str(), 1);
        if (o.shim) {
            const char* old = getenv("LD_PRELOAD");
            std::string preload = shim_pattern();
            if (old && *old) preload += std::string(" ") + old;
            setenv("LD_PRELOAD", preload.c_str(), 1);
        }
        std::vector<char*> argv;
        for (const auto& a : o.command) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        std::fprintf(stderr, "cm17a: cannot run %s: %s\n", argv[0], std::strerror(errno));
        _exit(127);
    }
    command_pid = child;
    sigprocmask(SIG_SETMASK, &previous_mask, nullptr);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    command_pid = 0;

    unlink(link.c_str());
    if (prev_len > 0) {
        previous[prev_len] = '\0';
        if (symlink(previous, link.c_str()) != 0) std::perror("cm17a: restoring the port link");
    }
    release_terminal(holder, master);
    unlink(control.c_str());

    const auto sessions = cm17a::decode(cm17a::parse_trace(read_file(trace)));
    if (!o.quiet) report(sessions, o.asked);
    if (!o.svg.empty()) write_svg(sessions, o.svg);
    if (temporary_trace) unlink(trace.c_str());
    rmdir(private_dir);
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs(usage, stderr);
        return 2;
    }
    const std::string verb = argv[1];
    options o;
    int i = 2;
    if (verb == "decode") {
        if (argc < 3) {
            std::fputs(usage, stderr);
            return 2;
        }
        o.trace = argv[i++];
    }
    for (; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "--") {
            o.command.assign(argv + i + 1, argv + argc);
            break;
        }
        if (a == "--prefix") o.prefix = value();
        else if (a == "--port") o.port = value();
        else if (a == "--link") o.link = value();
        else if (a == "--trace") o.trace = value();
        else if (a == "--svg") o.svg = value();
        else if (a == "--asked") o.asked = value();
        else if (a == "--quiet") o.quiet = true;
        else if (a == "--no-shim") o.shim = false;
        else {
            std::fprintf(stderr, "cm17a: unknown option %s\n%s", a.c_str(), usage);
            return 2;
        }
    }
    if (verb == "decode") {
        const auto sessions = cm17a::decode(cm17a::parse_trace(read_file(o.trace)));
        report(sessions, o.asked);
        if (!o.svg.empty()) write_svg(sessions, o.svg);
        return 0;
    }
    if (verb != "run" || o.command.empty()) {
        std::fputs(usage, stderr);
        return 2;
    }
    return run(o);
}
