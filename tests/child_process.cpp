#include "child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

namespace test {
namespace {

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

bool eventually(const std::function<bool()>& ready, std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (ready()) return true;
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

child::child(const std::vector<std::string>& argv, const std::string& output_base,
             const env_list& env, const inheritance& setup)
    : out_(output_base + ".out"), err_(output_base + ".err") {
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ != 0) return;
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) {
        _exit(126);
    }
    for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
    if (setup) setup();
    // Killed with the test program even when it crashes, so that no broker or bridge outlives
    // it. The signal comes when the forking thread ends: the tests start their children from
    // the main thread. After setup, since a change of user clears it.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(126);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

child::~child() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
}

bool child::running() const {
    siginfo_t info{};
    return pid_ > 0 &&
           waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
}

void child::signal(int number) const {
    if (pid_ > 0) kill(pid_, number);
}

int child::finish(std::chrono::seconds limit) {
    int status = 0;
    const bool ended = eventually([&] { return waitpid(pid_, &status, WNOHANG) == pid_; },
                                  std::chrono::duration_cast<std::chrono::milliseconds>(limit));
    if (!ended) return -1;
    pid_ = -1;
    by_signal_ = WIFSIGNALED(status);
    return by_signal_ ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

std::string child::out() const { return read_file(out_); }

std::string child::err() const { return read_file(err_); }

}  // namespace test
