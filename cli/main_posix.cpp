// vantrel on POSIX systems: X10 commands through a CM17A on a serial port's modem lines.
#include "mqtt_main.h"
#include "posix_sender.h"

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

// A timeout for the port lock other than the 30 s that CommAds waits.
bool read_lock_timeout(vantrel::posix::lock_settings& lock) {
    const char* text = std::getenv("VANTREL_LOCK_TIMEOUT_MS");
    if (!text || !*text) return true;
    long long ms = 0;
    if (!vantrel::cli::parse_number(text, INT32_MAX, ms)) {
        std::fprintf(stderr,
                     "vantrel: VANTREL_LOCK_TIMEOUT_MS takes milliseconds from 0 to %d, "
                     "not [%s]\n",
                     INT32_MAX, vantrel::cli::shown(text).c_str());
        return false;
    }
    lock.timeout = std::chrono::milliseconds(ms);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    vantrel::posix::lock_settings lock;
    if (const char* dir = std::getenv("VANTREL_LOCK_DIR"); dir && *dir) lock.dir = dir;
    if (!read_lock_timeout(lock)) return vantrel::cli::exit_bad_input;
    if (argc > 1 && std::string(argv[1]) == "mqtt") {
        return vantrel::posix::mqtt_main({argv + 2, argv + argc}, lock);
    }
    vantrel::posix::posix_sender sender(lock);
    const int status = vantrel::cli::run({argv + 1, argv + argc}, std::getenv("VANTREL_PORT"),
                                         "/dev/ttyUSB0", sender, stdout, stderr);
    const int signal = vantrel::posix::stop_signal;
    if (signal && status == 128 + signal) {
        // Ended by the signal itself, as a shell expects of a program that Ctrl-C stopped: a
        // script's loop around vantrel then stops too, and its $? is the same 128 + signal.
        std::fflush(nullptr);
        std::signal(signal, SIG_DFL);
        std::raise(signal);
    }
    return status;
}
