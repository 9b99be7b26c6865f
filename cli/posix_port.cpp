#include "posix_port.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vantrel::posix {
namespace {

void interrupt_only(int) {}

// A repeating alarm for as long as it lives. flock has no timeout, so each tick breaks a
// blocked flock out to look at the clock and the stop flag; a stop signal that arrives just
// before flock blocks is then seen at the next tick instead of when the lock comes free.
class alarm_ticks {
  public:
    explicit alarm_ticks(std::chrono::microseconds tick) {
        struct sigaction action {};
        action.sa_handler = interrupt_only;  // without SA_RESTART: flock returns EINTR
        sigemptyset(&action.sa_mask);
        sigaction(SIGALRM, &action, &previous_);
        const timeval every{0, static_cast<suseconds_t>(tick.count())};
        const itimerval timer{every, every};
        setitimer(ITIMER_REAL, &timer, nullptr);
    }
    alarm_ticks(const alarm_ticks&) = delete;
    alarm_ticks& operator=(const alarm_ticks&) = delete;
    ~alarm_ticks() {
        const itimerval off{};
        setitimer(ITIMER_REAL, &off, nullptr);
        sigaction(SIGALRM, &previous_, nullptr);
    }

  private:
    struct sigaction previous_ {};
};

// Read-only is enough for flock, so another user's lock file serves as well. O_CREAT only
// when the file is missing: where the kernel protects files in world-writable sticky folders
// (fs.protected_regular), O_CREAT on another user's existing file is refused.
int open_lock_file(const std::string& path) {
    for (;;) {
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0 || errno != ENOENT) return fd;
        fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            fchmod(fd, 0644);  // whatever the umask, others must be able to open it
            return fd;
        }
        if (errno != EEXIST) return fd;
    }
}

std::string seconds_text(std::chrono::milliseconds ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", static_cast<double>(ms.count()) / 1000.0);
    return text;
}

}  // namespace

void unique_fd::reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

void port_error::set(const std::string& what, int error) {
    message = what + ": " + std::strerror(error);
}

port_lock::outcome port_lock::acquire(const std::string& port, const std::string& lock_dir,
                                      std::chrono::milliseconds timeout,
                                      const volatile std::sig_atomic_t& stop, port_error& error) {
    struct stat device {};
    if (::stat(port.c_str(), &device) != 0) {
        error.set("can't open " + port, errno);
        return outcome::failed;
    }
    if (!S_ISCHR(device.st_mode)) {
        error.message = "can't open " + port + ": not a serial device";
        return outcome::failed;
    }
    const std::string path = lock_dir + "/vantrel-" +
                             std::to_string(static_cast<unsigned long long>(device.st_rdev)) +
                             ".lock";
    fd_.reset(open_lock_file(path));
    if (fd_.get() < 0) {
        error.set("can't lock " + port + " with " + path, errno);
        return outcome::failed;
    }
    if (::flock(fd_.get(), LOCK_EX | LOCK_NB) == 0) return outcome::locked;
    int failure = errno;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const alarm_ticks ticks(std::chrono::milliseconds(10));
    for (;;) {
        if (failure != EWOULDBLOCK && failure != EINTR) {
            error.set("can't lock " + port + " with " + path, failure);
            return outcome::failed;
        }
        if (stop) return outcome::interrupted;
        if (std::chrono::steady_clock::now() >= deadline) {
            error.message =
                port + " is busy: another sender held it longer than " + seconds_text(timeout);
            return outcome::timed_out;
        }
        if (::flock(fd_.get(), LOCK_EX) == 0) return outcome::locked;
        failure = errno;
    }
}

bool serial_port::open(const std::string& path, port_error& error) {
    path_ = path;
    // Non-blocking, so that the open does not wait for a carrier (DCD) that a CM17A never
    // raises; CLOCAL below makes that hold for the rest of the session.
    fd_.reset(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (fd_.get() < 0) {
        error.set("can't open " + path, errno);
        return false;
    }
    termios settings{};
    if (tcgetattr(fd_.get(), &settings) != 0) {
        error.set("can't configure " + path, errno);
        return false;
    }
    // As CommAds::OpenPort configures the port: speed and character framing as they are, flow
    // control off (no RTS/CTS handshake, which would take RTS from the program, and no
    // XON/XOFF), the modem status lines ignored. HUPCL off: the last close then leaves DTR and
    // RTS where the frame left them, both raised and idle, instead of dropping both, which
    // the CM17A reads as a reset and which cuts its power.
    settings.c_cflag |= CLOCAL;
    settings.c_cflag &= ~static_cast<tcflag_t>(HUPCL);
#ifdef CRTSCTS
    settings.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
#endif
    settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    const int flags = fcntl(fd_.get(), F_GETFL);
    if (tcsetattr(fd_.get(), TCSANOW, &settings) != 0 || flags < 0 ||
        fcntl(fd_.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        error.set("can't configure " + path, errno);
        return false;
    }
    return set(line::dtr, true, error) && set(line::rts, true, error);
}

bool serial_port::set(line which, bool level, port_error& error) {
    const int bits = which == line::dtr ? TIOCM_DTR : TIOCM_RTS;
    if (::ioctl(fd_.get(), level ? TIOCMBIS : TIOCMBIC, &bits) == 0) return true;
    error.set(std::string(level ? "can't set " : "can't clear ") +
                  (which == line::dtr ? "DTR" : "RTS") + " on " + path_,
              errno);
    return false;
}

}  // namespace vantrel::posix
