#include "identity.h"

#include "bridge_config.h"
#include "posix_port.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vantrel::mqtt {
namespace {

std::string system_error(const std::string& what) { return what + ": " + std::strerror(errno); }

// What the bridge keeps here is a line each: a file that is longer than it should be, or no
// regular file (a fifo, a device, a link put in its place), is refused unread.
constexpr std::size_t longest_node_id_file = 128;
constexpr std::size_t longest_session_file = 65536 + 2;  // a client id, up to MQTT's bound

// The file's text without its line end; false with errno set (ENOENT when there is none,
// EINVAL when it is no regular file, EFBIG when it is longer than limit).
bool read_small(const std::string& path, std::size_t limit, std::string& text) {
    text.clear();
    struct stat info {};
    // Looked at before it is opened: opening a device may do something.
    if (::lstat(path.c_str(), &info) != 0) return false;
    if (!S_ISREG(info.st_mode)) {
        errno = EINVAL;
        return false;
    }
    const posix::unique_fd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0) return false;
    if (!S_ISREG(info.st_mode)) {
        errno = EINVAL;
        return false;
    }
    std::string buffer(limit + 1, '\0');
    std::size_t got = 0;
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer.data() + got, buffer.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
        if (got == buffer.size()) {
            errno = EFBIG;
            return false;
        }
    }
    text.assign(buffer, 0, got);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return true;
}

// Written whole or not at all: a power cut in the middle leaves no half-written file.
bool store(const std::string& dir, const std::string& path, const std::string& text,
           std::string& error) {
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        error = system_error("can't make " + dir);
        return false;
    }
    const std::string temporary = path + ".new";
    posix::unique_fd fd(
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
    const std::string line = text + "\n";
    if (fd.get() < 0 || ::write(fd.get(), line.data(), line.size()) != ssize_t(line.size()) ||
        ::fsync(fd.get()) != 0) {
        error = system_error("can't write " + path);
        ::unlink(temporary.c_str());
        return false;
    }
    fd.reset();
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        error = system_error("can't write " + path);
        ::unlink(temporary.c_str());
        return false;
    }
    const posix::unique_fd folder(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() >= 0) ::fsync(folder.get());
    return true;
}

}  // namespace

bool random_hex(std::size_t bytes, std::string& out) {
    out.clear();
    std::string random(bytes, '\0');
    if (getrandom(random.data(), bytes, 0) != static_cast<ssize_t>(bytes)) return false;
    for (unsigned char b : random) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02x", b);
        out += hex;
    }
    return true;
}

std::string kept_session(const std::string& dir) {
    std::string client_id;
    return read_small(dir + "/" + kept_session_file, longest_session_file, client_id) ? client_id : "";
}

bool note_kept_session(const std::string& dir, const std::string& client_id, std::string& error) {
    return store(dir, dir + "/" + kept_session_file, client_id, error);
}

void forget_kept_session(const std::string& dir) {
    ::unlink((dir + "/" + kept_session_file).c_str());
}

std::string state_directory() {
    // systemd gives a list, separated by colons, when a unit names several folders.
    const char* given = std::getenv("STATE_DIRECTORY");
    const std::string dirs = given ? given : "";
    const std::string first = dirs.substr(0, dirs.find(':'));
    return first.empty() ? "/var/lib/vantrel" : first;
}

bool stored_identity(const std::string& dir, const std::string& host_name, bool make,
                     identity& out, std::string& error) {
    out = identity();
    const std::string path = dir + "/node_id";
    std::string text;
    if (read_small(path, longest_node_id_file, text)) {
        if (!is_node_id(text)) {
            error = path + " holds no node id (1 to 64 of a-z, 0-9 and _); remove it to make a "
                           "new identity, or set node_id in the configuration";
            return false;
        }
        out = {text, "stored in " + path};
        return true;
    }
    if (errno == EFBIG || errno == EINVAL || errno == ELOOP) {
        error = path + " is not the small regular file that holds a node id; remove it to make "
                       "a new identity, or set node_id in the configuration";
        return false;
    }
    if (errno != ENOENT) {
        error = system_error("can't read " + path);
        return false;
    }
    if (!make) {
        out.origin = "none stored yet: the first start makes one from the host name and stores "
                     "it in " + path;
        return true;
    }
    std::string suffix;
    if (!random_hex(3, suffix)) {
        error = system_error("can't make an identity");
        return false;
    }
    std::string node_id = node_id_from_host(host_name).substr(0, 57);
    node_id += (node_id.empty() ? "vantrel_" : "_") + suffix;
    if (!store(dir, path, node_id, error)) {
        error = "can't store the identity: " + error;
        error += "; set node_id in the configuration, or run the bridge where it may write " + dir;
        return false;
    }
    out = {node_id, "made now and stored in " + path};
    return true;
}

}  // namespace vantrel::mqtt
