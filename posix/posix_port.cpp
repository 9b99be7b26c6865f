#include "posix_port.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vantrel::posix {
namespace {

void interrupt_only(int) {}

// A repeating timer signal for as long as it lives. flock has no timeout, so each tick breaks a
// blocked flock out to look at the clock and the stop flag; a stop signal that arrives just
// before flock blocks is then seen at the next tick instead of when the lock comes free.
// A timer of its own, not the process's alarm: an alarm() that the parent set survives exec
// and must still fire on time. The tick signal's disposition and mask are put back as found;
// it is unblocked meanwhile, since a parent may have blocked it.
class wait_ticks {
  public:
    explicit wait_ticks(std::chrono::nanoseconds tick) : signal_(SIGRTMIN) {
        struct sigaction action {};
        action.sa_handler = interrupt_only;  // without SA_RESTART: flock returns EINTR
        sigemptyset(&action.sa_mask);
        sigaction(signal_, &action, &previous_action_);
        sigset_t only;
        sigemptyset(&only);
        sigaddset(&only, signal_);
        pthread_sigmask(SIG_UNBLOCK, &only, &previous_mask_);
        sigevent event{};
        event.sigev_signo = signal_;
#ifdef SIGEV_THREAD_ID
        // To this thread: in a program with other threads (the MQTT bridge) a tick sent to the
        // process could land on one that is not waiting.
        event.sigev_notify = SIGEV_THREAD_ID;
        event._sigev_un._tid = gettid();  // glibc names no accessor for it
#else
        event.sigev_notify = SIGEV_SIGNAL;
#endif
        const timespec every{0, static_cast<long>(tick.count())};
        const itimerspec timer{every, every};
        armed_ = timer_create(CLOCK_MONOTONIC, &event, &timer_) == 0 &&
                 timer_settime(timer_, 0, &timer, nullptr) == 0;
    }
    // Without a timer (none left to the user, say) nothing would break a blocked flock.
    bool armed() const { return armed_; }
    wait_ticks(const wait_ticks&) = delete;
    wait_ticks& operator=(const wait_ticks&) = delete;
    ~wait_ticks() {
        // A tick still pending is taken by our handler before the old disposition returns.
        if (armed_) timer_delete(timer_);
        sigaction(signal_, &previous_action_, nullptr);
        pthread_sigmask(SIG_SETMASK, &previous_mask_, nullptr);
    }

  private:
    int signal_;
    timer_t timer_{};
    bool armed_ = false;
    struct sigaction previous_action_ {};
    sigset_t previous_mask_{};
};

// One attempt; -1 with errno otherwise, EEXIST when another sender made the file in between.
// Read-only is enough for flock, so another user's lock file serves as well. O_CREAT only
// when the file is missing: where the kernel protects files in world-writable sticky folders
// (fs.protected_regular), O_CREAT on another user's existing file is refused. In such a shared
// folder anyone may plant something at the path: O_NOFOLLOW refuses a symbolic link (and with
// O_EXCL nothing is created through one), O_NONBLOCK keeps a FIFO from blocking the open.
int open_lock_file(const std::string& path) {
    constexpr int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    int fd = ::open(path.c_str(), flags);
    if (fd >= 0 || errno != ENOENT) return fd;
    fd = ::open(path.c_str(), flags | O_CREAT | O_EXCL, 0644);
    if (fd >= 0) fchmod(fd, 0644);  // whatever the umask, others must be able to open it
    return fd;
}

// What stands at the lock file's path when it is no lock file, or null. A folder serves: flock
// works on it as on a file.
const char* foreign_kind(mode_t mode) {
    if (S_ISREG(mode) || S_ISDIR(mode)) return nullptr;
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    return "an unknown kind of file";
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
    const auto deadline = std::chrono::steady_clock::now() + timeout;
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
    const auto refuse = [&](const std::string& why) {
        error.message = "can't lock " + port + " with " + path + ": " + why +
                        "; set VANTREL_LOCK_DIR to use another folder";
        return outcome::failed;
    };
    for (;;) {
        // Only a race with another sender's first use of the folder repeats this.
        int fd = -1;
        while ((fd = open_lock_file(path)) < 0 && (errno == EEXIST || errno == EINTR) && !stop &&
               std::chrono::steady_clock::now() < deadline) {
        }
        const int open_failure = errno;
        fd_.reset(fd);
        if (stop) return outcome::interrupted;
        if (fd < 0) {
            struct stat link {};
            if (open_failure == ELOOP && ::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode))
                return refuse("a symbolic link, not a lock file");
            return refuse(std::strerror(open_failure));
        }
        struct stat file {};
        if (::fstat(fd, &file) != 0) return refuse(std::strerror(errno));
        if (const char* kind = foreign_kind(file.st_mode))
            return refuse(kind + std::string(", not a lock file"));
        const outcome got = wait_for(fd, port, path, timeout, deadline, stop, error);
        if (got != outcome::locked) return got;
        // A lock file removed or replaced while it was waited for locks nothing: the next
        // sender makes a new one and locks that. So the file locked must be the one at the
        // path now; else start again on whatever stands there.
        struct stat now {};
        if (::lstat(path.c_str(), &now) == 0 && now.st_dev == file.st_dev &&
            now.st_ino == file.st_ino)
            return outcome::locked;
        fd_.reset();
    }
}

port_lock::outcome port_lock::wait_for(int fd, const std::string& port, const std::string& path,
                                       std::chrono::milliseconds timeout,
                                       std::chrono::steady_clock::time_point deadline,
                                       const volatile std::sig_atomic_t& stop, port_error& error) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return outcome::locked;
    int failure = errno;
    const wait_ticks ticks(std::chrono::milliseconds(10));
    for (;;) {
        if (stop) return outcome::interrupted;
        if (failure != EWOULDBLOCK && failure != EINTR) {
            error.set("can't lock " + port + " with " + path, failure);
            return outcome::failed;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            error.message =
                port + " is busy: another sender held it longer than " + seconds_text(timeout);
            return outcome::timed_out;
        }
        if (::flock(fd, ticks.armed() ? LOCK_EX : LOCK_EX | LOCK_NB) == 0) return outcome::locked;
        failure = errno;
        if (!ticks.armed()) {
            const timespec tick{0, 10000000};
            nanosleep(&tick, nullptr);
        }
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
    if (::ioctl(fd_.get(), TIOCEXCL) != 0) {
        error.set("can't have " + path + " to itself", errno);
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

void serial_port::close() {
    if (fd_.get() >= 0) ::ioctl(fd_.get(), TIOCNXCL);
    fd_.reset();
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
