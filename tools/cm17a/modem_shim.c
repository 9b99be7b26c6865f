/* Emulates the modem-control register (DTR, RTS) of one pty for the process it is preloaded
 * into, and records every line write with a monotonic timestamp.
 *
 * A pty has no modem lines: TIOCMGET/TIOCMSET/TIOCMBIS/TIOCMBIC fail on it. Preloaded, this
 * shim answers those requests for the device named by CM17A_PTY and appends one line per event
 * to the file named by CM17A_TRACE:
 *     <seq> <nanoseconds> <event> <dtr> <rts>
 * event is DTR+ DTR- RTS+ RTS- (one line asserted or cleared), SET (a whole-register write that
 * changed nothing), FAIL (an injected failure; levels unchanged), CLOSE (the device's
 * descriptor was closed) or HUP (the process's last descriptor of the device closed with
 * HUPCL set: as a serial port's last close does, both lines dropped, which cuts a CM17A's
 * power). seq numbers the line writes (FAIL included) from 1; a HUP, which is none, carries the
 * number of the last one.
 * CM17A_CONTROL names a small file holding a decimal number N; the N-th line write fails
 * with EIO, and with N = -1 every change of the line settings (tcsetattr) fails instead. The
 * file is mapped, so a test may change N while the process runs.
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

enum { control_size = 32 };

static dev_t pty_rdev;
static int have_pty;
static int debug;
static int trace_fd = -1;
static const char* trace_path;
static int trace_error; /* errno of the failed open of trace_path; said once, at the first event */
static const char* control;
/* Raised, as a real port's lines are once it is opened: a sender that relies on another state
 * without setting it is caught. */
static int modem_bits = TIOCM_DTR | TIOCM_RTS;
static long write_seq;
static pthread_mutex_t state_lock = PTHREAD_MUTEX_INITIALIZER;

typedef int (*ioctl_fn)(int, unsigned long, void*);
typedef int (*close_fn)(int);
typedef int (*tcsetattr_fn)(int, int, const struct termios*);

__attribute__((constructor)) static void shim_init(void) {
    const char* pty = getenv("CM17A_PTY");
    struct stat st;
    if (pty && stat(pty, &st) == 0 && S_ISCHR(st.st_mode)) {
        pty_rdev = st.st_rdev;
        have_pty = 1;
    }
    debug = getenv("CM17A_DEBUG") != NULL;
    trace_path = getenv("CM17A_TRACE");
    if (trace_path) {
        trace_fd = open(trace_path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (trace_fd < 0) trace_error = errno;
    }
    const char* control_path = getenv("CM17A_CONTROL");
    if (control_path) {
        int fd = open(control_path, O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            void* map = mmap(NULL, control_size, PROT_READ, MAP_SHARED, fd, 0);
            if (map != MAP_FAILED) control = map;
            close(fd);
        }
    }
}

static int is_pty(int fd) {
    struct stat st;
    return have_pty && fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == pty_rdev;
}

static long injected_failure(void) {
    if (!control) return 0;
    char text[control_size + 1];
    memcpy(text, control, control_size);
    text[control_size] = '\0';
    return strtol(text, NULL, 10);
}

static void record(const char* event, long seq) {
    if (trace_fd < 0) {
        /* Said here rather than at start: every process of a Wine run loads the shim, and
         * only the one that writes the lines has something to lose. */
        if (trace_error) {
            fprintf(stderr, "cm17a: can't record the line writes in %s: %s\n", trace_path,
                    strerror(trace_error));
            trace_error = 0;
        }
        return;
    }
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    char line[96];
    int n = snprintf(line, sizeof line, "%ld %lld %s %d %d\n", seq,
                     (long long)now.tv_sec * 1000000000LL + now.tv_nsec, event,
                     (modem_bits & TIOCM_DTR) != 0, (modem_bits & TIOCM_RTS) != 0);
    if (write(trace_fd, line, (size_t)n) != n) {
        /* A lost trace line shows up as a wrong frame in the decoder. */
    }
}

static const char* describe_change(int before, int after) {
    int changed = before ^ after;
    if (changed == TIOCM_DTR) return (after & TIOCM_DTR) ? "DTR+" : "DTR-";
    if (changed == TIOCM_RTS) return (after & TIOCM_RTS) ? "RTS+" : "RTS-";
    return "SET";
}

/* Answers a modem-line request on the pty; returns 1 when it handled the request. */
static int emulate(unsigned long request, void* arg, int* result) {
    if (request != TIOCMGET && request != TIOCMSET && request != TIOCMBIS && request != TIOCMBIC)
        return 0;
    pthread_mutex_lock(&state_lock);
    if (request == TIOCMGET) {
        *(int*)arg = modem_bits | TIOCM_CTS | TIOCM_DSR | TIOCM_CD;
        *result = 0;
    } else {
        long seq = ++write_seq;
        if (seq == injected_failure()) {
            record("FAIL", seq);
            errno = EIO;
            *result = -1;
        } else {
            int value = *(int*)arg & (TIOCM_DTR | TIOCM_RTS);
            int before = modem_bits;
            if (request == TIOCMSET) modem_bits = value;
            else if (request == TIOCMBIS) modem_bits |= value;
            else modem_bits &= ~value;
            /* A single-line request names its line even when the level does not change. */
            const char* event = describe_change(before, modem_bits);
            if (request != TIOCMSET && value == TIOCM_DTR) event = request == TIOCMBIS ? "DTR+" : "DTR-";
            if (request != TIOCMSET && value == TIOCM_RTS) event = request == TIOCMBIS ? "RTS+" : "RTS-";
            record(event, seq);
            *result = 0;
        }
    }
    pthread_mutex_unlock(&state_lock);
    return 1;
}

/* real is the next definition of name, looked up on first use. */
static int forward_ioctl(ioctl_fn* real, const char* name, int fd, unsigned long request,
                         void* arg) {
    if (is_pty(fd)) {
        if (debug) fprintf(stderr, "cm17a: %s(%d, 0x%lx)\n", name, fd, request);
        int result;
        if (emulate(request, arg, &result)) return result;
    }
    if (!*real) *real = (ioctl_fn)dlsym(RTLD_NEXT, name);
    if (!*real) {
        errno = ENOSYS;
        return -1;
    }
    return (*real)(fd, request, arg);
}

int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    static ioctl_fn real;
    return forward_ioctl(&real, "ioctl", fd, request, arg);
}

/* 32-bit glibc routes ioctl through its 64-bit-time entry point. */
int __ioctl_time64(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    static ioctl_fn real;
    return forward_ioctl(&real, "__ioctl_time64", fd, request, arg);
}

int tcsetattr(int fd, int actions, const struct termios* settings) {
    static tcsetattr_fn real_tcsetattr;
    if (!real_tcsetattr) real_tcsetattr = (tcsetattr_fn)dlsym(RTLD_NEXT, "tcsetattr");
    if (is_pty(fd) && injected_failure() == -1) {
        errno = EIO;
        return -1;
    }
    return real_tcsetattr(fd, actions, settings);
}

/* Whether a descriptor of this process other than fd refers to the device. */
static int other_descriptor(int fd) {
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return 0;
    int found = 0;
    for (struct dirent* entry; !found && (entry = readdir(dir)) != NULL;) {
        const int other = atoi(entry->d_name);
        found = entry->d_name[0] != '.' && other != fd && other != dirfd(dir) && is_pty(other);
    }
    closedir(dir);
    return found;
}

int close(int fd) {
    static close_fn real_close;
    if (!real_close) real_close = (close_fn)dlsym(RTLD_NEXT, "close");
    if (is_pty(fd)) {
        struct termios settings;
        const int hangup = tcgetattr(fd, &settings) == 0 && (settings.c_cflag & HUPCL) != 0 &&
                           !other_descriptor(fd);
        pthread_mutex_lock(&state_lock);
        record("CLOSE", write_seq);
        if (hangup && modem_bits != 0) {
            modem_bits = 0;
            record("HUP", write_seq);
        }
        pthread_mutex_unlock(&state_lock);
    }
    return real_close(fd);
}
