#include "mqtt_main.h"

#include "bridge.h"
#include "identity.h"
#include "posix_sender.h"
#include "version.h"

#include <fcntl.h>
#include <pwd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vantrel::posix {
namespace {

volatile std::sig_atomic_t reload_requested = 0;

void note_reload(int) { reload_requested = 1; }

// SIGHUP reads the configuration again, as a service manager's reload expects; one that the
// bridge started with ignored (nohup) stays ignored.
void catch_reload() {
    struct sigaction inherited {};
    if (sigaction(SIGHUP, nullptr, &inherited) == 0 && inherited.sa_handler == SIG_IGN) return;
    struct sigaction action {};
    action.sa_handler = note_reload;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGHUP, &action, nullptr);
}

// Whether a port that failed is back: the port lock taken, the device opened and closed, and
// its lines touched no further. The open raises DTR and RTS; HUPCL is cleared, as the sender
// does, so that the close leaves them raised and the CM17A powered, not reset.
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
    termios line{};
    if (tcgetattr(fd.get(), &line) != 0) {
        why = "can't configure " + port + ": " + std::strerror(errno);
        return false;
    }
    if ((line.c_cflag & HUPCL) != 0) {
        line.c_cflag &= ~static_cast<tcflag_t>(HUPCL);
        if (tcsetattr(fd.get(), TCSANOW, &line) != 0) {
            why = "can't configure " + port + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

std::string host_name() {
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    return host;
}

std::string user_name() {
    const passwd* user = getpwuid(geteuid());
    return user ? user->pw_name : "uid " + std::to_string(geteuid());
}

// The file and the identity it gives: its node_id, else the stored one (made and stored first
// when make is set).
bool read_configuration(const std::string& path, bool make, mqtt::bridge_config& config,
                        std::string& origin, std::string& error) {
    std::vector<std::string> warnings;
    const bool loaded = mqtt::load_config(path, config, error, warnings);
    for (const std::string& w : warnings)
        std::fprintf(stderr, "vantrel mqtt: warning: %s\n", w.c_str());
    if (!loaded) return false;
    if (config.node_id_given) {
        origin = "from " + path;
        return true;
    }
    mqtt::identity id;
    if (!mqtt::stored_identity(mqtt::state_directory(), host_name(), make, id, error)) return false;
    origin = id.origin;
    if (!id.node_id.empty()) config.set_node_id(id.node_id);
    return true;
}

}  // namespace

int mqtt_main(const std::vector<std::string>& args, const lock_settings& lock) {
    // From the first moment: a reload asked for while the file is read must not end the bridge.
    catch_stop_signals(false);
    catch_reload();
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
    mqtt::bridge_config config;
    std::string origin, error;
    if (!read_configuration(config_path, !check_only, config, origin, error)) {
        std::fprintf(stderr, "vantrel mqtt: %s\n", error.c_str());
        return cli::exit_bad_input;
    }
    if (check_only) {
        std::printf("%s: %zu unit%s; broker %s:%d%s; checked as user %s\n", config_path.c_str(),
                    config.units.size(), config.units.size() == 1 ? "" : "s", config.host.c_str(),
                    config.port,
                    config.tls ? " over TLS" : "", user_name().c_str());
        const frame_timings& t = config.timings;
        std::printf("frames on %s: clock %d ms, reset %d ms, standby %d ms, gap %d ms\n",
                    config.serial_port.c_str(), t.clock_rate, t.reset_duration,
                    t.standby_duration, config.frame_gap_ms);
        if (!config.rtl_433_topic.empty())
            std::printf("X10 remotes: rtl_433's events on %s\n", config.rtl_433_topic.c_str());
        if (config.node_id.empty()) {
            std::printf("node_id: %s\n", origin.c_str());
        } else {
            std::printf("node_id: %s (%s); topics under %s/; client id %s\n",
                        config.node_id.c_str(), origin.c_str(), config.topic_root().c_str(),
                        config.client_id.c_str());
        }
        return cli::exit_sent;
    }
    mqtt::logger log(stderr);
    log.info("vantrel %s: node_id %s (%s), client id %s, broker %s:%d, %zu unit%s on %s",
             VANTREL_VERSION_STRING, config.node_id.c_str(), origin.c_str(),
             config.client_id.c_str(), config.host.c_str(), config.port, config.units.size(),
             config.units.size() == 1 ? "" : "s",
             config.serial_port.c_str());
    posix_sender sender(lock);
    mqtt::bridge_io io;
    io.sender = &sender;
    io.probe = [&lock](const std::string& port, std::string& why) {
        return probe_port(lock, port, why);
    };
    io.stop = &stop_signal;
    io.reload = &reload_requested;
    io.reread = [&](mqtt::bridge_config& fresh, std::string& why) {
        std::string fresh_origin;
        return read_configuration(config_path, true, fresh, fresh_origin, why);
    };
    io.log = &log;
    io.verbose = verbose;
    io.refusals_final = isatty(STDERR_FILENO) != 0;
    io.version = VANTREL_VERSION_STRING;
    io.support_url = VANTREL_SUPPORT_URL;
    io.host_name = host_name();
    io.state_dir = mqtt::state_directory();
    return mqtt::run_bridge(config, io);
}

}  // namespace vantrel::posix
