// The Home Assistant app's options (/data/options.json, as the Supervisor writes them) turned
// into the bridge's configuration file. The bridge's own reader (load_config) judges the result,
// so that the app and the .deb refuse the same things; what it says about a line of the
// generated file is told back in terms of the option the user wrote.
#pragma once

#include <nlohmann/json.hpp>

#include <map>
#include <optional>
#include <string>

namespace vantrel::app {

// The broker that the Supervisor's MQTT service names (GET /services/mqtt).
struct mqtt_service {
    std::string host;
    int port = 1883;
    bool ssl = false;
    std::string user, password;
};

// A bridge configuration made from the options, and which option each of its lines came from.
struct bridge_file {
    std::string yaml;
    std::string password;                // for password_file, when the login has one
    std::map<int, std::string> origins;  // 1-based line -> "node_id", "units, entry 2 (E3)", ...
};

// Whether the options name a broker of their own (mqtt_server): then the Supervisor is not
// asked, and its login is not sent to another broker.
bool has_own_broker(const nlohmann::json& options);

// The configuration for these options, with the Supervisor's broker unless the options name
// their own; password_path is where the password file will be. Throws option_error for an
// option of the wrong kind (a name that is a number, a unit that is not a mapping).
bridge_file make_bridge_file(const nlohmann::json& options,
                             const std::optional<mqtt_service>& service,
                             const std::string& password_path);

struct option_error {
    std::string what;
};

// load_config's "PATH:LINE: fault" said about the option on that line.
std::string explain(const std::string& fault, const std::string& path, const bridge_file& file);

}  // namespace vantrel::app
