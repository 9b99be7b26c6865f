#include "bridge_log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <string>

namespace vantrel::mqtt {
namespace {

// systemd names the journal's stream in JOURNAL_STREAM as "DEVICE:INODE"; a stream handed on to
// another file (a redirection in a wrapper script) no longer matches it.
bool is_journal(std::FILE* out) {
    const char* stream = std::getenv("JOURNAL_STREAM");
    struct stat info {};
    if (!stream || fstat(fileno(out), &info) != 0) return false;
    unsigned long long device = 0, inode = 0;
    return std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 && device == info.st_dev &&
           inode == info.st_ino;
}

}  // namespace

logger::logger(std::FILE* out) : out_(out), journal_(is_journal(out)) {}

void logger::info(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    write(level::info, format, args);
    va_end(args);
}

void logger::warning(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    write(level::warning, format, args);
    va_end(args);
}

void logger::error(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    write(level::error, format, args);
    va_end(args);
}

// One line each: topics and payloads come from whoever may publish on the broker, so a control
// character in them must not start a line of its own in the journal.
void logger::write(level l, const char* format, std::va_list args) {
    std::va_list again;
    va_copy(again, args);
    std::string line(
        static_cast<std::size_t>(std::max(std::vsnprintf(nullptr, 0, format, args), 0)), '\0');
    std::vsnprintf(line.data(), line.size() + 1, format, again);
    va_end(again);
    for (char& c : line) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    }
    static const char* const journal_prefix[] = {"<6>", "<4>", "<3>"};
    static const char* const word_prefix[] = {"", "warning: ", "error: "};
    const auto index = static_cast<std::size_t>(l);
    std::lock_guard<std::mutex> hold(lock_);
    std::fprintf(out_, "%s%s\n", (journal_ ? journal_prefix : word_prefix)[index], line.c_str());
    std::fflush(out_);
}

}  // namespace vantrel::mqtt
