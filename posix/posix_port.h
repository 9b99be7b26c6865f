// A serial port's modem lines on a POSIX system with termios, and the lock that keeps two
// senders' frames apart.
#pragma once

#include "frame.h"

#include <chrono>
#include <csignal>
#include <string>

namespace vantrel::posix {

// One owner per descriptor.
class unique_fd {
  public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    ~unique_fd() { reset(); }
    int get() const { return fd_; }
    void reset(int fd = -1);

  private:
    int fd_ = -1;
};

// What failed, as the user reads it: "can't open /dev/ttyUSB0: No such file or directory".
struct port_error {
    std::string message;
    void set(const std::string& what, int error);
};

// Held from before the port is opened until after it is closed. It cannot be a lock on the
// device itself: the kernel raises DTR and RTS on every open of a tty, so a second sender
// that opened the device to wait for the lock would already disturb the frame in progress.
// The lock is a file in lock_dir named after the device number, so every path to one device
// (a /dev/serial/by-id link, say) shares it.
class port_lock {
  public:
    enum class outcome { locked, failed, timed_out, interrupted };
    // Waits for the lock up to timeout, or until stop turns non-zero.
    outcome acquire(const std::string& port, const std::string& lock_dir,
                    std::chrono::milliseconds timeout, const volatile std::sig_atomic_t& stop,
                    port_error& error);

  private:
    outcome wait_for(int fd, const std::string& port, const std::string& path,
                     std::chrono::milliseconds timeout,
                     std::chrono::steady_clock::time_point deadline,
                     const volatile std::sig_atomic_t& stop, port_error& error);
    unique_fd fd_;
};

class serial_port {
  public:
    serial_port() = default;
    serial_port(const serial_port&) = delete;
    serial_port& operator=(const serial_port&) = delete;
    ~serial_port() { close(); }
    // Opens the device for this process alone (TIOCEXCL: a modem manager or a second program
    // that opens it in mid-frame would disturb the lines), applies the line configuration and
    // raises DTR, then RTS, as CommAds::OpenPort does.
    bool open(const std::string& path, port_error& error);
    // One line at a time, by the modem-control ioctls.
    bool set(line which, bool level, port_error& error);
    // Gives the exclusive use back and closes.
    void close();

  private:
    unique_fd fd_;
    std::string path_;
};

}  // namespace vantrel::posix
