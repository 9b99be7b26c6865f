// The bridge's log: one line per event on standard error, where the service manager's journal
// takes it. Each line carries its priority: as the journal's own prefix when standard error is
// the journal (journalctl then shows errors in red and -p err finds them), else as a word.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace vantrel::mqtt {

class logger {
  public:
    explicit logger(std::FILE* out);
    void info(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void warning(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void error(const char* format, ...) __attribute__((format(printf, 2, 3)));

  private:
    enum class level { info, warning, error };
    void write(level l, const char* format, std::va_list args);
    std::FILE* out_;
    bool journal_ = false;
    std::mutex lock_;
};

}  // namespace vantrel::mqtt
