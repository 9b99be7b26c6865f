#include "app_options.h"

#include <yaml-cpp/yaml.h>

#include <cctype>

namespace vantrel::app {
namespace {

using nlohmann::json;

const json* find(const json& object, const std::string& key) {
    const auto at = object.find(key);
    return at == object.end() || at->is_null() ? nullptr : &*at;
}

// A text option; absent, null and empty are all "not given", as the Supervisor leaves an
// optional field that the user cleared.
std::string text(const json& object, const std::string& key, const std::string& label) {
    const json* value = find(object, key);
    if (!value) return "";
    if (!value->is_string()) throw option_error{label + " must be text, not " + value->dump()};
    return value->get<std::string>();
}

// A number handed on as the user wrote it, for the bridge to judge its range.
std::string whole_number(const json& value, const std::string& label) {
    if (value.is_number_integer()) return value.dump();
    if (value.is_string()) return value.get<std::string>();
    throw option_error{label + " must be a whole number, not " + value.dump()};
}

std::string unit_label(std::size_t index, const std::string& id) {
    return "units, entry " + std::to_string(index + 1) + (id.empty() ? "" : " (" + id + ")");
}

void emit_units(YAML::Emitter& out, const json& units, std::vector<std::string>& labels) {
    if (!units.is_array()) throw option_error{"units must be a list of units"};
    out << YAML::Key << "units" << YAML::Value << YAML::BeginMap;
    for (std::size_t i = 0; i < units.size(); ++i) {
        const json& unit = units[i];
        if (!unit.is_object()) {
            throw option_error{unit_label(i, "") + " must be a unit: { id, name, type }"};
        }
        const std::string id = text(unit, "id", unit_label(i, "") + " id");
        if (id.empty()) throw option_error{unit_label(i, "") + " has no id (A1 to P16)"};
        const std::string label = unit_label(i, id);
        labels.push_back(label);
        out << YAML::Key << id << YAML::Value << YAML::BeginMap;
        for (const char* key : {"name", "type"}) {
            const std::string value = text(unit, key, label + " " + key);
            if (!value.empty()) out << YAML::Key << key << YAML::Value << value;
        }
        // Handed on only when given: the bridge's own defaults hold otherwise (a light dims, in
        // its default number of steps).
        if (const json* dimmable = find(unit, "dimmable")) {
            if (!dimmable->is_boolean())
                throw option_error{label + " dimmable must be true or false"};
            out << YAML::Key << "dimmable" << YAML::Value << dimmable->get<bool>();
        }
        if (const json* steps = find(unit, "dim_steps")) {
            out << YAML::Key << "dim_steps" << YAML::Value
                << whole_number(*steps, label + " dim_steps");
        }
        out << YAML::EndMap;
    }
    out << YAML::EndMap;
}

}  // namespace

bool has_own_broker(const json& options) {
    return !text(options, "mqtt_server", "mqtt_server").empty();
}

bridge_file make_bridge_file(const json& options, const std::optional<mqtt_service>& service,
                             const std::string& password_path) {
    if (!options.is_object())
        throw option_error{"the options must be a mapping of names to values"};
    bridge_file file;
    const bool own_broker = has_own_broker(options);
    const std::string own_user = text(options, "mqtt_user", "mqtt_user");
    const std::string own_password = text(options, "mqtt_password", "mqtt_password");
    // A login of the user's own goes with whichever broker is used; the Supervisor's login
    // only with the Supervisor's broker.
    const bool own_login = own_broker || !own_user.empty() || !own_password.empty();
    const std::string port = text(options, "serial_port", "serial_port");
    if (port.empty()) {
        throw option_error{
            "serial_port: none given; pick the CM17A's serial adapter in the "
            "app's configuration"};
    }

    std::string server, user;
    if (own_broker) {
        server = text(options, "mqtt_server", "mqtt_server");
    } else if (service) {
        const bool ipv6 = service->host.find(':') != std::string::npos;
        server = std::string(service->ssl ? "mqtts://" : "mqtt://") + (ipv6 ? "[" : "") +
                 service->host + (ipv6 ? "]" : "") + ":" + std::to_string(service->port);
    }
    if (own_login) {
        user = own_user;
        file.password = own_password;
    } else if (service) {
        user = service->user;
        file.password = service->password;
    }

    YAML::Emitter out;
    out << YAML::BeginMap;
    if (!server.empty() || !user.empty() || !file.password.empty()) {
        out << YAML::Key << "mqtt" << YAML::Value << YAML::BeginMap;
        if (!server.empty()) out << YAML::Key << "server" << YAML::Value << server;
        if (!user.empty()) out << YAML::Key << "user" << YAML::Value << user;
        if (!file.password.empty()) {
            out << YAML::Key << "password_file" << YAML::Value << password_path;
        }
        out << YAML::EndMap;
    }
    static const char* const timings[] = {"clock_rate", "reset_duration", "standby_duration",
                                          "frame_gap"};
    out << YAML::Key << "serial" << YAML::Value << YAML::BeginMap;
    out << YAML::Key << "port" << YAML::Value << port;
    for (const char* key : timings) {
        if (const json* value = find(options, key)) {
            out << YAML::Key << key << YAML::Value << whole_number(*value, key);
        }
    }
    out << YAML::EndMap;
    if (const std::string node_id = text(options, "node_id", "node_id"); !node_id.empty()) {
        out << YAML::Key << "node_id" << YAML::Value << node_id;
    }
    std::vector<std::string> unit_labels;
    if (const json* units = find(options, "units")) emit_units(out, *units, unit_labels);
    out << YAML::EndMap;
    if (!out.good())
        throw option_error{"can't write the bridge's configuration: " + out.GetLastError()};
    file.yaml = std::string(out.c_str()) + "\n";

    // Which option each line came from, read back from what was written.
    const YAML::Node root = YAML::Load(file.yaml);
    const auto note = [&](const YAML::Node& parent, const char* key, const std::string& label) {
        if (parent.IsDefined() && parent.IsMap() && parent[key])
            file.origins[parent[key].Mark().line + 1] = label;
    };
    const std::string supervisor = "the Supervisor's MQTT service";
    const YAML::Node mqtt = root["mqtt"], serial = root["serial"];
    note(mqtt, "server", own_broker ? "mqtt_server" : supervisor);
    note(mqtt, "user", own_login ? "mqtt_user" : supervisor);
    note(mqtt, "password_file", own_login ? "mqtt_password" : supervisor);
    note(serial, "port", "serial_port");
    for (const char* key : timings) note(serial, key, key);
    note(root, "node_id", "node_id");
    std::size_t index = 0;
    for (const auto& unit : root["units"] ? root["units"] : YAML::Node()) {
        file.origins[unit.first.Mark().line + 1] = unit_labels.at(index);
        for (const auto& field : unit.second)
            file.origins[field.first.Mark().line + 1] = unit_labels.at(index);
        ++index;
    }
    return file;
}

std::string explain(const std::string& fault, const std::string& path, const bridge_file& file) {
    if (fault.rfind(path + ":", 0) != 0) return "bad options: " + fault;
    std::string rest = fault.substr(path.size() + 1);
    std::size_t digits = 0;
    while (digits < rest.size() && std::isdigit(static_cast<unsigned char>(rest[digits]))) ++digits;
    if (digits > 0 && rest.compare(digits, 2, ": ") == 0) {
        const auto origin = file.origins.find(std::stoi(rest.substr(0, digits)));
        rest = rest.substr(digits + 2);
        if (origin != file.origins.end()) return "bad option " + origin->second + ": " + rest;
    } else if (rest.rfind(' ', 0) == 0) {
        rest = rest.substr(1);
    }
    return "bad options: " + rest;
}

}  // namespace vantrel::app
