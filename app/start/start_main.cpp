// vantrel-app-start: the Home Assistant app's program. Reads the app's options, asks the
// Supervisor for its MQTT broker, writes the bridge's configuration to a private folder and
// becomes `vantrel mqtt` (exec, so the bridge gets the stop signal itself).
//
// The token and the broker's password reach neither the bridge's command line nor its
// environment nor the log: the password goes to a file of mode 0600, which the configuration
// names, and the bridge starts with an environment made here from a short list.
//
// For tests, the environment may name other places: VANTREL_APP_OPTIONS (/data/options.json;
// its folder keeps the bridge's state), VANTREL_SUPERVISOR_URL (http://supervisor) and
// VANTREL_APP_BRIDGE (the vantrel beside this program).
#include "app_options.h"
#include "bridge_config.h"
#include "supervisor.h"

#include <curl/curl.h>
#include <limits.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

using vantrel::app::bridge_file;

// One line each, whatever the options or the Supervisor put in it.
void say(std::string line) {
    for (char& c : line) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    }
    std::fprintf(stdout, "vantrel-app: %s\n", line.c_str());
    std::fflush(stdout);
}

std::string from_env(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return value && *value ? value : fallback;
}

std::string folder_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// The bridge program: the vantrel installed beside this one.
std::string bridge_program() {
    std::vector<char> self(4096);
    const ssize_t n = readlink("/proc/self/exe", self.data(), self.size() - 1);
    const std::string here = n > 0 ? folder_of(std::string(self.data(), n)) : "/usr/bin";
    return from_env("VANTREL_APP_BRIDGE", here + "/vantrel");
}

// A new file that only this user reads.
bool write_private(const std::string& path, const std::string& text, std::string& error) {
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    bool ok = fd >= 0 && ::fchmod(fd, 0600) == 0 &&
              ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (!ok) error = "can't write " + path + ": " + std::strerror(errno);
    if (fd >= 0 && ::close(fd) != 0 && ok) {
        error = "can't write " + path + ": " + std::strerror(errno);
        ok = false;
    }
    return ok;
}

// Writes the configuration (and its password file) and has the bridge's own reader judge it.
bool write_and_check(const bridge_file& file, const std::string& config_path,
                     const std::string& password_path, std::string& error) {
    if (file.password.find_first_of("\r\n") != std::string::npos) {
        error = "the MQTT password must be one line";
        return false;
    }
    if (!write_private(password_path, file.password + "\n", error) ||
        !write_private(config_path, file.yaml, error)) {
        return false;
    }
    vantrel::mqtt::bridge_config checked;
    std::vector<std::string> warnings;
    std::string fault;
    if (vantrel::mqtt::load_config(config_path, checked, fault, warnings)) return true;
    error = vantrel::app::explain(fault, config_path, file);
    return false;
}

// A stop before the bridge runs (a Supervisor slow to answer) ends the program at once and
// takes the private files along: as a container's first process it would not even see the
// signal without a handler. The bridge handles its own: exec resets these.
char removed_on_stop[3][PATH_MAX];

extern "C" void stop_now(int signal_number) {
    for (int i = 0; i < 2; ++i) ::unlink(removed_on_stop[i]);
    ::rmdir(removed_on_stop[2]);
    ::_exit(128 + signal_number);
}

void stop_removes(const std::string& config, const std::string& password,
                  const std::string& folder) {
    const std::string* paths[] = {&config, &password, &folder};
    for (int i = 0; i < 3; ++i)
        std::snprintf(removed_on_stop[i], PATH_MAX, "%s", paths[i]->c_str());
    struct sigaction stop {};
    stop.sa_handler = stop_now;
    sigemptyset(&stop.sa_mask);
    for (int signal_number : {SIGTERM, SIGINT}) sigaction(signal_number, &stop, nullptr);
}

int run() {
    const std::string options_path = from_env("VANTREL_APP_OPTIONS", "/data/options.json");
    const std::string supervisor = from_env("VANTREL_SUPERVISOR_URL", "http://supervisor");
    std::ifstream in(options_path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in) {
        say("can't read the options " + options_path + ": " + std::strerror(errno));
        return 2;
    }
    const nlohmann::json options = nlohmann::json::parse(text, nullptr, false);
    if (options.is_discarded()) {
        say("the options " + options_path + " are not JSON");
        return 2;
    }

    std::string folder = from_env("TMPDIR", "/tmp") + "/vantrel-app-XXXXXX";
    if (!mkdtemp(folder.data())) {
        say("can't make a private folder in " + folder_of(folder) + ": " + std::strerror(errno));
        return 1;
    }
    const std::string config_path = folder + "/mqtt.yaml", password_path = folder + "/password";
    // Gone again unless the bridge takes them over: exec leaves no destructor to run.
    struct remover {
        const std::string& folder;
        std::vector<std::string> files;
        ~remover() {
            for (const std::string& f : files) ::unlink(f.c_str());
            ::rmdir(folder.c_str());
        }
    } private_files{folder, {config_path, password_path}};
    stop_removes(config_path, password_path, folder);
    std::string error;
    try {
        // The options are judged before anything is asked of anyone.
        const bool own_broker = vantrel::app::has_own_broker(options);
        if (!write_and_check(vantrel::app::make_bridge_file(options, std::nullopt, password_path),
                             config_path, password_path, error)) {
            say(error);
            return 2;
        }
        std::optional<vantrel::app::mqtt_service> service;
        if (!own_broker) {
            service.emplace();
            if (!vantrel::app::fetch_mqtt_service(supervisor, from_env("SUPERVISOR_TOKEN", ""),
                                                  *service, error)) {
                say(error);
                return 1;
            }
            say("the broker of the Supervisor's MQTT service: " + service->host + ":" +
                std::to_string(service->port) + (service->ssl ? " over TLS" : ""));
        }
        if (!write_and_check(vantrel::app::make_bridge_file(options, service, password_path),
                             config_path, password_path, error)) {
            say(error);
            return 2;
        }
    } catch (const vantrel::app::option_error& e) {
        say("bad option " + e.what);
        return 2;
    }

    std::vector<std::string> argv{bridge_program(), "mqtt", "--config", config_path};
    if (const auto level = options.find("log_level"); level != options.end() && *level == "debug") {
        argv.push_back("--verbose");
    }
    std::vector<std::string> env{
        "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
        "STATE_DIRECTORY=" + folder_of(options_path)};
    for (const char* name :
         {"TZ", "SSL_CERT_FILE", "SSL_CERT_DIR", "VANTREL_LOCK_DIR", "VANTREL_LOCK_TIMEOUT_MS"}) {
        if (const char* value = std::getenv(name)) env.push_back(std::string(name) + "=" + value);
    }
    std::vector<char*> args, envp;
    for (std::string& a : argv) args.push_back(a.data());
    for (std::string& e : env) envp.push_back(e.data());
    args.push_back(nullptr);
    envp.push_back(nullptr);
    execve(args[0], args.data(), envp.data());
    say("can't start the bridge " + argv[0] + ": " + std::strerror(errno));
    return 1;
}

}  // namespace

int main() {
    // One log, in order: the bridge writes to standard error, the app's log is standard output.
    dup2(STDOUT_FILENO, STDERR_FILENO);
    umask(077);
    curl_global_init(CURL_GLOBAL_DEFAULT);
    return run();
}
