#include "mqtt_main.h"

#include "bridge.h"
#include "posix_sender.h"
#include "version.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vantrel::posix {
namespace {

// Whether a port that failed is back: the port lock taken, the device opened and closed, and
// its lines touched no further.
bool probe_port(const lock_settings& settings, const std::string& port, std::string& why) {
    port_error error;
    port_lock lock;
    switch (lock.acquire(port, settings.dir, settings.timeout, stop_signal, error)) {
        case port_lock::outcome::locked:
            break;
        case port_lock::outcome::timed_out:
            return true;  // another sender is using it, so it is there
        default:
            why = error.message;
            return false;
    }
    const unique_fd fd(::open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) {
        why = "can't open " + port + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace

int mqtt_main(const std::vector<std::string>& args, const lock_settings& lock) {
    std::string config_path;
    bool verbose = false;
    bool check_only = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(mqtt::bridge_usage().c_str(), stdout);
            return cli::exit_sent;
        }
        if (arg == "--verbose") {
            verbose = true;
        } else if (arg == "--check") {
            check_only = true;
        } else if (arg == "--config" && i + 1 < args.size()) {
            config_path = args[++i];
        } else if (arg.rfind("--config=", 0) == 0) {
            config_path = arg.substr(9);
        } else {
            std::fprintf(stderr,
                         "vantrel mqtt: unexpected argument [%s] (see vantrel mqtt --help)\n",
                         cli::shown(arg).c_str());
            return cli::exit_bad_input;
        }
    }
    if (config_path.empty()) {
        std::fprintf(stderr, "vantrel mqtt: --config FILE is needed (see vantrel mqtt --help)\n");
        return cli::exit_bad_input;
    }
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    mqtt::bridge_config config;
    std::string error;
    std::vector<std::string> warnings;
    const bool loaded = mqtt::load_config(config_path, host, config, error, warnings);
    for (const std::string& w : warnings)
        std::fprintf(stderr, "vantrel mqtt: warning: %s\n", w.c_str());
    if (!loaded) {
        std::fprintf(stderr, "vantrel mqtt: %s\n", error.c_str());
        return cli::exit_bad_input;
    }
    if (check_only) {
        std::printf("%s: %zu units; topics under %s/; broker %s:%d%s\n", config_path.c_str(),
                    config.units.size(), config.topic_root().c_str(), config.host.c_str(),
                    config.port, config.tls ? " over TLS" : "");
        return cli::exit_sent;
    }
    catch_stop_signals();
    posix_sender sender(lock);
    mqtt::bridge_io io;
    io.sender = &sender;
    io.probe = [&lock](const std::string& port, std::string& why) {
        return probe_port(lock, port, why);
    };
    io.stop = &stop_signal;
    io.verbose = verbose;
    return mqtt::run_bridge(config, VANTREL_VERSION_STRING, io);
}

}  // namespace vantrel::posix
