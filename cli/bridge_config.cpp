#include "bridge_config.h"

#include "ascii.h"
#include "command_line.h"
#include "switch_table.h"

#include <sys/stat.h>
#include <yaml-cpp/yaml.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <set>

namespace vantrel::mqtt {
namespace {

// A fault in the file, at the node it concerns.
struct config_fault {
    YAML::Mark mark;
    std::string what;
};

[[noreturn]] void fault(const YAML::Node& at, const std::string& what) {
    throw config_fault{at.Mark(), what};
}

std::string scalar(const YAML::Node& node, const std::string& key) {
    if (!node.IsScalar()) fault(node, key + " takes a single value");
    return node.Scalar();
}

long long number(const YAML::Node& node, const std::string& key, long long max) {
    long long value = 0;
    if (!node.IsScalar() || !cli::parse_number(node.Scalar(), max, value)) {
        fault(node, key + " takes a whole number from 0 to " + std::to_string(max) + ", not [" +
                        cli::shown(node.IsScalar() ? node.Scalar() : "") + "]");
    }
    return value;
}

// A topic level or prefix: no MQTT wildcards, no empty levels at either end.
std::string topic(const YAML::Node& node, const std::string& key) {
    const std::string text = scalar(node, key);
    if (text.empty() || text.find_first_of("+#") != std::string::npos || text.front() == '/' ||
        text.back() == '/' || text.find('\0') != std::string::npos) {
        fault(node, key + " must be a topic without + or # and without a leading or trailing /");
    }
    return text;
}

using section_reader = std::map<std::string, std::function<void(const YAML::Node&)>>;

// Every key of a mapping must be known; each known key's reader takes its value.
void read_section(const YAML::Node& node, const std::string& name, const section_reader& keys) {
    if (!node.IsMap()) fault(node, name + " must be a mapping of keys to values");
    std::set<std::string> seen;
    for (const auto& item : node) {
        const std::string key = item.first.IsScalar() ? item.first.Scalar() : std::string();
        const auto reader = keys.find(key);
        if (reader == keys.end()) {
            fault(item.first,
                  "unknown key [" + cli::shown(key) + "]" + (name.empty() ? "" : " in " + name));
        }
        if (!seen.insert(key).second) fault(item.first, "key [" + key + "] given twice");
        reader->second(item.second);
    }
}

void read_server(const YAML::Node& node, bridge_config& c) {
    std::string url = scalar(node, "server");
    if (url.rfind("mqtts://", 0) == 0) {
        c.tls = true;
        c.port = 8883;
        url.erase(0, 8);
    } else if (url.rfind("mqtt://", 0) == 0) {
        url.erase(0, 7);
    } else {
        fault(node, "server takes mqtt://HOST[:PORT] or mqtts://HOST[:PORT]");
    }
    std::string port;
    if (!url.empty() && url.front() == '[') {  // [::1]:1883
        const std::size_t close = url.find(']');
        if (close == std::string::npos) fault(node, "server: no ] after the IPv6 address");
        c.host = url.substr(1, close - 1);
        if (close + 1 < url.size()) {
            if (url[close + 1] != ':') fault(node, "server: expected :PORT after ]");
            port = url.substr(close + 2);
        }
    } else {
        const std::size_t colon = url.rfind(':');
        c.host = url.substr(0, colon);
        if (colon != std::string::npos) port = url.substr(colon + 1);
    }
    if (c.host.empty() || c.host.find('/') != std::string::npos) {
        fault(node, "server has no host name");
    }
    long long value = 0;
    if (!port.empty() || url.back() == ':') {
        if (!cli::parse_number(port, 65535, value) || value == 0) {
            fault(node, "server: the port must be a number from 1 to 65535");
        }
        c.port = static_cast<int>(value);
    }
}

std::string read_password(const YAML::Node& node, std::vector<std::string>& warnings) {
    const std::string path = scalar(node, "password_file");
    std::ifstream file(path);
    if (!file) fault(node, "can't read password_file " + path + ": " + std::strerror(errno));
    std::string password;
    std::getline(file, password);
    if (!password.empty() && password.back() == '\r') password.pop_back();
    struct stat info {};
    // Group read is how the service's user reads it (root:vantrel, 640); everyone must not.
    if (::stat(path.c_str(), &info) == 0 && (info.st_mode & S_IROTH)) {
        warnings.push_back("password_file " + path + " may be read by every user; chmod o-r it");
    }
    return password;
}

void read_units(const YAML::Node& node, bridge_config& c) {
    if (node.IsNull()) return;
    if (!node.IsMap()) fault(node, "units must map unit ids (A1) to { name, type }");
    std::set<std::string> ids;
    for (const auto& item : node) {
        const std::string given = item.first.IsScalar() ? item.first.Scalar() : std::string();
        const std::string id = ascii_upper(given);
        // A unit is a house letter and a unit number as the table spells them; a house alone
        // names a BRIGHT/DIM command, not a module.
        if (id.size() < 2 || !find_switch_code((id + "ON").c_str()) ||
            id.find_first_not_of("0123456789", 1) != std::string::npos || id[1] == '0') {
            fault(item.first, "[" + cli::shown(given) + "] is not a unit id (A1 to P16)");
        }
        if (!ids.insert(id).second) fault(item.first, "unit " + id + " is given twice");
        unit_config unit{id, id, true};
        if (!item.second.IsNull()) {
            read_section(
                item.second, "unit " + id,
                {{"name",
                  [&](const YAML::Node& v) {
                      unit.name = scalar(v, "name");
                      if (unit.name.empty()) fault(v, "name must not be empty");
                  }},
                 {"type", [&](const YAML::Node& v) {
                      const std::string type = scalar(v, "type");
                      if (type != "light" && type != "switch") {
                          fault(v, "type takes light or switch, not [" + cli::shown(type) + "]");
                      }
                      unit.light = type == "light";
                  }}});
        }
        c.units.push_back(unit);
    }
}

}  // namespace

std::string node_id_from_host(const std::string& host_name) {
    std::string id;
    for (char c : ascii_lower(host_name)) {
        if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_') id += c;
    }
    return id;
}

bool load_config(const std::string& path, const std::string& host_name, bridge_config& out,
                 std::string& error, std::vector<std::string>& warnings) {
    out = bridge_config();
    bool port_given = false;
    bool client_id_given = false;
    try {
        const YAML::Node root = YAML::LoadFile(path);
        if (!root.IsDefined() || root.IsNull()) fault(root, "the file is empty");
        constexpr long long max_ms = INT32_MAX;
        auto timing = [&](std::int32_t& field, const char* key) {
            return [&field, key](const YAML::Node& v) {
                field = static_cast<std::int32_t>(number(v, key, max_ms));
            };
        };
        read_section(
            root, "",
            {{"mqtt",
              [&](const YAML::Node& m) {
                  read_section(
                      m, "mqtt",
                      {{"server", [&](const YAML::Node& v) { read_server(v, out); }},
                       {"base_topic",
                        [&](const YAML::Node& v) { out.base_topic = topic(v, "base_topic"); }},
                       {"user", [&](const YAML::Node& v) { out.user = scalar(v, "user"); }},
                       {"password_file",
                        [&](const YAML::Node& v) {
                            out.password = read_password(v, warnings);
                            out.has_password = true;
                        }},
                       {"ca", [&](const YAML::Node& v) { out.ca_file = scalar(v, "ca"); }},
                       {"client_id",
                        [&](const YAML::Node& v) {
                            out.client_id = scalar(v, "client_id");
                            if (out.client_id.empty()) fault(v, "client_id must not be empty");
                            client_id_given = true;
                        }},
                       {"keepalive", [&](const YAML::Node& v) {
                            out.keepalive_s = static_cast<int>(number(v, "keepalive", 65535));
                            if (out.keepalive_s < 5) fault(v, "keepalive takes 5 to 65535 seconds");
                        }}});
              }},
             {"homeassistant",
              [&](const YAML::Node& h) {
                  read_section(
                      h, "homeassistant",
                      {{"discovery_topic",
                        [&](const YAML::Node& v) {
                            // false, no or off, as YAML spells a false.
                            bool on = true;
                            if (v.IsScalar() && YAML::convert<bool>::decode(v, on) && !on) {
                                out.discovery = false;
                            } else {
                                out.discovery_topic = topic(v, "discovery_topic");
                            }
                        }},
                       {"status_topic", [&](const YAML::Node& v) {
                            out.status_topic = topic(v, "status_topic");
                        }}});
              }},
             {"serial",
              [&](const YAML::Node& s) {
                  read_section(
                      s, "serial",
                      {{"port",
                        [&](const YAML::Node& v) {
                            out.serial_port = scalar(v, "port");
                            port_given = !out.serial_port.empty();
                        }},
                       {"clock_rate", timing(out.timings.clock_rate, "clock_rate")},
                       {"reset_duration", timing(out.timings.reset_duration, "reset_duration")},
                       {"standby_duration",
                        timing(out.timings.standby_duration, "standby_duration")},
                       {"frame_gap", [&](const YAML::Node& v) {
                            out.frame_gap_ms =
                                static_cast<std::int32_t>(number(v, "frame_gap", max_ms));
                        }}});
              }},
             {"node_id",
              [&](const YAML::Node& v) {
                  out.node_id = scalar(v, "node_id");
                  if (out.node_id.empty() || node_id_from_host(out.node_id) != out.node_id) {
                      fault(v, "node_id takes lower-case letters, digits and _ only");
                  }
              }},
             {"units", [&](const YAML::Node& v) { read_units(v, out); }}});
        if (!port_given) {
            throw config_fault{YAML::Mark::null_mark(),
                               "no serial port: give serial: port: DEVICE"};
        }
    } catch (const config_fault& f) {
        error =
            path + (f.mark.is_null() ? "" : ":" + std::to_string(f.mark.line + 1)) + ": " + f.what;
        return false;
    } catch (const YAML::BadFile&) {
        error = path + ": can't read the file: " + std::strerror(errno);
        return false;
    } catch (const YAML::Exception& e) {
        error = path + (e.mark.is_null() ? "" : ":" + std::to_string(e.mark.line + 1)) +
                ": not YAML: " + e.msg;
        return false;
    }
    if (out.node_id.empty()) out.node_id = node_id_from_host(host_name);
    if (out.node_id.empty()) {
        error = path + ": no node_id, and the host name gives none: set node_id";
        return false;
    }
    if (!client_id_given) out.client_id = "vantrel-" + out.node_id;
    return true;
}

}  // namespace vantrel::mqtt
