// Programs that the native end-to-end tests start: in the background, their output in files,
// and ended with their test at the latest.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace test {

using env_list = std::vector<std::pair<std::string, std::string>>;

// What a parent process may hand down, done in the child before the program starts.
using inheritance = std::function<void()>;

// Waits up to limit for ready() to hold, checking every 10 ms.
bool eventually(const std::function<bool()>& ready,
                std::chrono::milliseconds limit = std::chrono::seconds(20));

// A program run in the background with standard input from /dev/null and its output in
// OUTPUT_BASE.out and .err; killed when its owner goes, and when the thread that made it ends
// (the test program crashing, say).
class child {
  public:
    child(const std::vector<std::string>& argv, const std::string& output_base,
          const env_list& env = {}, const inheritance& setup = {});
    child(const child&) = delete;
    child& operator=(const child&) = delete;
    ~child();
    pid_t pid() const { return pid_; }
    bool running() const;
    void signal(int number) const;
    // The exit status as a shell shows it (128 + N for signal N), waiting at most limit;
    // -1 when it did not end in time.
    int finish(std::chrono::seconds limit = std::chrono::seconds(30));
    bool ended_by_signal() const { return by_signal_; }  // after finish
    std::string out() const;  // standard output so far
    std::string err() const;  // standard error so far

  private:
    pid_t pid_ = -1;
    bool by_signal_ = false;
    std::string out_, err_;
};

}  // namespace test
