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
#include <fstream>
#include <iterator>

namespace vantrel::mqtt {
namespace {

std::string system_error(const std::string& what) { return what + ": " + std::strerror(errno); }

// Written whole or not at all: a power cut in the middle leaves no half-written identity.
bool store(const std::string& dir, const std::string& path, const std::string& node_id,
           std::string& error) {
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        error = system_error("can't make " + dir);
        return false;
    }
    const std::string temporary = path + ".new";
    posix::unique_fd fd(
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
    const std::string line = node_id + "\n";
    if (fd.get() < 0 || ::write(fd.get(), line.data(), line.size()) != ssize_t(line.size()) ||
        ::fsync(fd.get()) != 0) {
        error = system_error("can't store the identity in " + path);
        ::unlink(temporary.c_str());
        return false;
    }
    fd.reset();
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        error = system_error("can't store the identity in " + path);
        ::unlink(temporary.c_str());
        return false;
    }
    const posix::unique_fd folder(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() >= 0) ::fsync(folder.get());
    return true;
}

}  // namespace

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
    std::ifstream file(path);
    if (file) {
        std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        if (!is_node_id(text)) {
            error = path + " holds no node id (1 to 64 of a-z, 0-9 and _); remove it to make a "
                           "new identity, or set node_id in the configuration";
            return false;
        }
        out = {text, "stored in " + path};
        return true;
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
    unsigned char random[3];
    if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
        error = system_error("can't make an identity");
        return false;
    }
    char suffix[8];
    std::snprintf(suffix, sizeof suffix, "%02x%02x%02x", random[0], random[1], random[2]);
    std::string node_id = node_id_from_host(host_name).substr(0, 57);
    node_id += (node_id.empty() ? "vantrel_" : "_") + std::string(suffix);
    if (!store(dir, path, node_id, error)) {
        error += "; set node_id in the configuration, or run the bridge where it may write " + dir;
        return false;
    }
    out = {node_id, "made now and stored in " + path};
    return true;
}

}  // namespace vantrel::mqtt
