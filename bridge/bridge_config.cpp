#include "bridge_config.h"

#include "ascii.h"
#include "command_line.h"
#include "switch_table.h"

#include <arpa/inet.h>
#include <sys/stat.h>
#include <mosquitto.h>
#include <yaml-cpp/yaml.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <algorithm>
#include <iterator>

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
// Text that MQTT carries as a string (a topic, the client id, the user): libmosquitto refuses
// control characters and Unicode non-characters in it, and would refuse it at every start.
std::string mqtt_string(const YAML::Node& node, const std::string& key) {
    const std::string text = scalar(node, key);
    if (text.empty()) fault(node, key + " must not be empty");
    if (mosquitto_validate_utf8(text.c_str(), static_cast<int>(text.size())) != MOSQ_ERR_SUCCESS) {
        fault(node, key + " must not hold control characters (tabs, line breaks, ...)");
    }
    return text;
}

std::string topic(const YAML::Node& node, const std::string& key) {
    const std::string text = mqtt_string(node, key);
    if (text.empty() || text.find_first_of("+#") != std::string::npos || text.front() == '/' ||
        text.back() == '/' || text.find('\0') != std::string::npos) {
        fault(node, key + " must be a topic without + or # and without a leading or trailing /");
    }
    return text;
}

// A subscription's topic filter: + and # where MQTT allows them.
std::string topic_filter(const YAML::Node& node, const std::string& key) {
    const std::string text = mqtt_string(node, key);
    if (mosquitto_sub_topic_check(text.c_str()) != MOSQ_ERR_SUCCESS) {
        fault(node, key + " takes a topic filter (+ for one level, # for the rest), not [" +
                        cli::shown(text) + "]");
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

// mqtt://HOST[:PORT] or mqtts://HOST[:PORT], HOST a name, an IPv4 address or an IPv6 address
// in brackets. Nothing else: a login belongs in user and password_file, where it is kept out
// of the process list and the log.
void read_server(const YAML::Node& node, bridge_config& c) {
    const std::string url = scalar(node, "server");
    const std::string usage = "server takes mqtt://HOST[:PORT] or mqtts://HOST[:PORT]";
    std::string rest;
    if (url.rfind("mqtts://", 0) == 0) {
        c.tls = true;
        c.port = 8883;
        rest = url.substr(8);
    } else if (url.rfind("mqtt://", 0) == 0) {
        c.tls = false;
        c.port = 1883;
        rest = url.substr(7);
    } else if (url.find('@') != std::string::npos) {
        // Not echoed: what comes before the @ may be a password.
        fault(node, usage + ", without a user or password");
    } else {
        fault(node, usage + ", not [" + cli::shown(url) + "]");
    }
    if (rest.find('@') != std::string::npos) {
        fault(node, "server must not hold a user or password: give them as user and password_file");
    }
    if (rest.find_first_of("/?#") != std::string::npos) {
        fault(node, usage + ", without a path");
    }
    std::string port;
    if (!rest.empty() && rest.front() == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string::npos) fault(node, "server: no ] after the IPv6 address");
        c.host = rest.substr(1, close - 1);
        // A link-local address may name its interface: fe80::1%eth0.
        in6_addr address{};
        if (inet_pton(AF_INET6, c.host.substr(0, c.host.find('%')).c_str(), &address) != 1) {
            fault(node, "server: [" + cli::shown(c.host) + "] is not an IPv6 address");
        }
        if (close + 1 < rest.size()) {
            if (rest[close + 1] != ':') fault(node, "server: expected :PORT after ]");
            port = rest.substr(close + 2);
            if (port.empty()) fault(node, "server: the port must be a number from 1 to 65535");
        }
    } else {
        const std::size_t colon = rest.find(':');
        if (colon != std::string::npos && rest.find(':', colon + 1) != std::string::npos) {
            fault(node, "server: an IPv6 address goes in brackets, as in mqtt://[::1]:1883");
        }
        c.host = rest.substr(0, colon);
        if (colon != std::string::npos) {
            port = rest.substr(colon + 1);
            if (port.empty()) fault(node, "server: the port must be a number from 1 to 65535");
        }
    }
    if (c.host.empty()) fault(node, "server has no host name");
    for (char ch : c.host) {
        if (static_cast<unsigned char>(ch) <= 0x20 || ch == 0x7F) {
            fault(node, "server: [" + cli::shown(c.host) + "] is not a host name");
        }
    }
    long long value = 0;
    if (!port.empty()) {
        if (!cli::parse_number(port, 65535, value) || value == 0) {
            fault(node, "server: the port must be a number from 1 to 65535");
        }
        c.port = static_cast<int>(value);
    }
}

// A file named in the configuration, read now as the user who runs the check or the bridge.
std::string read_named_file(const YAML::Node& node, const std::string& key) {
    const std::string path = scalar(node, key);
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
        fault(node, "can't read " + key + " " + path + ": not a file");
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) fault(node, "can't read " + key + " " + path + ": " + std::strerror(errno));
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (file.bad()) fault(node, "can't read " + key + " " + path + ": " + std::strerror(errno));
    return text;
}

std::string read_password(const YAML::Node& node, std::vector<std::string>& warnings) {
    const std::string path = scalar(node, "password_file");
    std::string password = read_named_file(node, "password_file");
    password = password.substr(0, password.find('\n'));
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
        unit_config unit{id, id};
        std::optional<YAML::Node> dimmable, steps;
        if (!item.second.IsNull()) {
            read_section(
                item.second, "unit " + id,
                {{"name",
                  [&](const YAML::Node& v) {
                      unit.name = scalar(v, "name");
                      if (unit.name.empty()) fault(v, "name must not be empty");
                  }},
                 {"type",
                  [&](const YAML::Node& v) {
                      const std::string type = scalar(v, "type");
                      if (type != "light" && type != "switch") {
                          fault(v, "type takes light or switch, not [" + cli::shown(type) + "]");
                      }
                      unit.light = type == "light";
                  }},
                 {"dimmable",
                  [&](const YAML::Node& v) {
                      if (!v.IsScalar() || !YAML::convert<bool>::decode(v, unit.dimmable))
                          fault(v, "dimmable takes true or false");
                      dimmable = v;
                  }},
                 {"dim_steps", [&](const YAML::Node& v) {
                      long long n = 0;
                      if (!v.IsScalar() || !cli::parse_number(v.Scalar(), max_steps, n) ||
                          n == 0) {
                          fault(v, "dim_steps takes a whole number from 1 to " +
                                       std::to_string(max_steps) + ", not [" +
                                       cli::shown(v.IsScalar() ? v.Scalar() : "") + "]");
                      }
                      unit.dim_steps = static_cast<int>(n);
                      steps = v;
                  }}});
        }
        // Appliance modules do not dim; a unit's keys are checked whatever their order.
        if (!unit.light) {
            if (dimmable && unit.dimmable) fault(*dimmable, "a switch is not dimmable");
            unit.dimmable = false;
        }
        if (steps && !unit.dimmable) fault(*steps, "dim_steps is for dimmable lights");
        c.units.push_back(unit);
    }
}

// The offset of the first byte that is not part of well-formed UTF-8 (no overlong forms, no
// surrogates, nothing past U+10FFFF), or npos. YAML is UTF-8 text, and so is everything the
// bridge hands on: MQTT topics, user names and Home Assistant's JSON.
std::size_t first_bad_utf8(const std::string& text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
        const unsigned char lead = byte(i);
        std::size_t length = 0;
        unsigned char low = 0x80, high = 0xBF;  // the second byte's range
        if (lead < 0x80) length = 1;
        else if (lead >= 0xC2 && lead <= 0xDF) length = 2;
        else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        } else {
            return i;
        }
        if (i + length > text.size()) return i;
        for (std::size_t k = 1; k < length; ++k) {
            const unsigned char b = byte(i + k);
            if (b < (k == 1 ? low : 0x80) || b > (k == 1 ? high : 0xBF)) return i;
        }
        i += length;
    }
    return std::string::npos;
}

}  // namespace

void bridge_config::set_node_id(const std::string& id) {
    node_id = id;
    if (!client_id_given) client_id = "vantrel-" + id;
}

bool is_node_id(const std::string& text) {
    return !text.empty() && text.size() <= 64 && node_id_from_host(text) == text;
}

std::string node_id_from_host(const std::string& host_name) {
    std::string id;
    for (char c : ascii_lower(host_name)) {
        if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_') id += c;
    }
    return id;
}

bool load_config(const std::string& path, bridge_config& out, std::string& error,
                 std::vector<std::string>& warnings) {
    out = bridge_config();
    bool port_given = false;
    const auto where = [&](const YAML::Mark& mark) {
        return path + (mark.is_null() ? "" : ":" + std::to_string(mark.line + 1));
    };
    std::ifstream file(path, std::ios::binary);
    std::string text;
    if (file) text.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    if (!file || file.bad()) {
        error = path + ": can't read the file: " + std::strerror(errno);
        return false;
    }
    try {
        if (const std::size_t bad = first_bad_utf8(text); bad != std::string::npos) {
            YAML::Mark mark;
            mark.line = static_cast<int>(std::count(text.begin(), text.begin() + bad, '\n'));
            char byte[8];
            std::snprintf(byte, sizeof byte, "0x%02X", static_cast<unsigned char>(text[bad]));
            throw config_fault{mark, std::string("not UTF-8 text (byte ") + byte +
                                         "): save the file as UTF-8"};
        }
        const YAML::Node root = YAML::Load(text);
        if (!root.IsDefined() || root.IsNull()) fault(root, "the file is empty");
        constexpr long long max_ms = INT32_MAX;
        auto timing = [&](std::int32_t& field, const char* key) {
            return [&field, key](const YAML::Node& v) {
                field = static_cast<std::int32_t>(number(v, key, max_ms));
            };
        };
        std::optional<YAML::Node> password_node, ca_node, rtl_node;
        read_section(
            root, "",
            {{"mqtt",
              [&](const YAML::Node& m) {
                  read_section(
                      m, "mqtt",
                      {{"server", [&](const YAML::Node& v) { read_server(v, out); }},
                       {"base_topic",
                        [&](const YAML::Node& v) { out.base_topic = topic(v, "base_topic"); }},
                       {"user",
                        [&](const YAML::Node& v) {
                            out.user = mqtt_string(v, "user");
                        }},
                       {"password_file",
                        [&](const YAML::Node& v) {
                            out.password = read_password(v, warnings);
                            out.has_password = true;
                            password_node = v;
                        }},
                       {"ca",
                        [&](const YAML::Node& v) {
                            read_named_file(v, "ca");
                            out.ca_file = scalar(v, "ca");
                            ca_node = v;
                        }},
                       {"client_id",
                        [&](const YAML::Node& v) {
                            out.client_id = mqtt_string(v, "client_id");
                            out.client_id_given = true;
                        }},
                       {"keepalive",
                        [&](const YAML::Node& v) {
                            out.keepalive_s = static_cast<int>(number(v, "keepalive", 65535));
                            if (out.keepalive_s < 5) fault(v, "keepalive takes 5 to 65535 seconds");
                        }},
                       {"session_expiry", [&](const YAML::Node& v) {
                            out.session_expiry_s = static_cast<std::uint32_t>(
                                number(v, "session_expiry", 4294967294LL));
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
                  if (!is_node_id(out.node_id)) {
                      fault(v, "node_id takes 1 to 64 lower-case letters, digits and _");
                  }
                  out.node_id_given = true;
              }},
             {"units", [&](const YAML::Node& v) { read_units(v, out); }},
             {"rtl_433", [&](const YAML::Node& r) {
                  out.rtl_433_topic = "rtl_433/+/events";  // rtl_433's own default
                  rtl_node = r;
                  if (r.IsNull()) return;
                  read_section(r, "rtl_433", {{"topic", [&](const YAML::Node& v) {
                                                   out.rtl_433_topic = topic_filter(v, "topic");
                                               }}});
              }}});
        // Faults of one key that another key decides, whatever their order in the file.
        if (password_node && out.user.empty()) {
            fault(*password_node, "password_file needs user: MQTT sends no password without a "
                                  "user name");
        }
        if (ca_node && !out.tls) {
            fault(*ca_node, "ca is for mqtts:// servers; with mqtt:// nothing is encrypted");
        }
        if (rtl_node) {
            // Overlapping subscriptions bring a message once for each: the bridge's own
            // commands would come twice.
            const std::string node = out.node_id_given ? out.node_id : "node";
            const std::string root = out.base_topic + "/" + node;
            for (const std::string& own :
                 {root + "/A1/set", root + "/A1/brightness/set", root + "/A/dim/set",
                  root + "/A1/state", root + "/bridge", out.status_topic,
                  out.discovery_topic + "/light/" + node + "/a1/config"}) {
                bool match = false;
                if (mosquitto_topic_matches_sub(out.rtl_433_topic.c_str(), own.c_str(), &match) ==
                        MOSQ_ERR_SUCCESS &&
                    match) {
                    fault(*rtl_node, "rtl_433's topic " + out.rtl_433_topic +
                                         " takes in the bridge's own topics (" + own + ")");
                }
            }
        }
        if (!port_given) {
            throw config_fault{YAML::Mark::null_mark(),
                               "no serial port: give serial: port: DEVICE"};
        }
    } catch (const config_fault& f) {
        error = where(f.mark) + ": " + f.what;
        return false;
    } catch (const YAML::Exception& e) {
        error = where(e.mark) + ": not YAML: " + e.msg;
        return false;
    }
    if (out.node_id_given) out.set_node_id(out.node_id);
    return true;
}

}  // namespace vantrel::mqtt
