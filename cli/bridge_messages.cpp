#include "bridge_messages.h"

#include "ascii.h"

#include <nlohmann/json.hpp>

#include <set>

namespace vantrel::mqtt {
namespace {

// The largest BRIGHT or DIM count a message may ask for: 32 steps take a lamp module from
// full to off.
constexpr long long max_steps = 32;

// The payload without surrounding white space, or false for one that is no short text.
bool payload_word(const std::string& payload, std::string& word) {
    if (payload.size() > max_payload) return false;
    for (char c : payload) {
        if (static_cast<unsigned char>(c) < 0x20 && c != ' ' && c != '\t' && c != '\r' &&
            c != '\n') {
            return false;
        }
        if (static_cast<unsigned char>(c) >= 0x7F) return false;
    }
    const std::size_t first = payload.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return false;
    word = payload.substr(first, payload.find_last_not_of(" \t\r\n") - first + 1);
    return true;
}

const unit_config* find_unit(const bridge_config& config, const std::string& id) {
    for (const unit_config& unit : config.units) {
        if (unit.id == id) return &unit;
    }
    return nullptr;
}

std::set<char> houses_with_lights(const bridge_config& config) {
    std::set<char> houses;
    for (const unit_config& unit : config.units) {
        if (unit.light) houses.insert(unit.id[0]);
    }
    return houses;
}

nlohmann::json device(const bridge_config& config, const std::string& version) {
    return {{"identifiers", {"vantrel_" + config.node_id}},
            {"name", "vantrel " + config.node_id},
            {"model", "CM17A"},
            {"sw_version", version}};
}

nlohmann::json availability(const bridge_config& config) {
    return nlohmann::json::array({{{"topic", availability_topic(config)},
                                   {"payload_available", "online"},
                                   {"payload_not_available", "offline"}}});
}

std::string shown_payload(const std::string& payload) {
    return payload.size() > max_payload ? std::to_string(payload.size()) + " bytes"
                                        : "[" + cli::shown(payload) + "]";
}

}  // namespace

std::string availability_topic(const bridge_config& config) {
    return config.topic_root() + "/availability";
}

std::vector<std::string> command_filters(const bridge_config& config) {
    const std::string root = config.topic_root();
    return {root + "/+/set", root + "/+/bright/set", root + "/+/dim/set"};
}

std::string parse_command(const bridge_config& config, const std::string& topic,
                          const std::string& payload, command& out) {
    out = command();
    const std::string root = config.topic_root() + "/";
    if (topic.compare(0, root.size(), root) != 0) return "not a command topic";
    const std::string rest = topic.substr(root.size());
    const std::size_t slash = rest.find('/');
    const std::string id = rest.substr(0, slash);
    const std::string action = slash == std::string::npos ? "" : rest.substr(slash + 1);
    std::string word;
    if (action == "set") {
        const unit_config* unit = find_unit(config, id);
        if (!unit) return "no unit " + cli::shown(id) + " is configured";
        if (!payload_word(payload, word))
            return "payload " + shown_payload(payload) + " is not ON or OFF";
        const std::string state = ascii_upper(word);
        if (state != "ON" && state != "OFF")
            return "payload [" + cli::shown(word) + "] is not ON or OFF";
        out.frames.push_back(cli::unit_frame(id, state == "ON"));
        out.state_topic = root + id + "/state";
        out.state = state;
        out.label = out.frames.back().label;
        return {};
    }
    if (action != "bright/set" && action != "dim/set") return "not a command topic";
    const bool bright = action == "bright/set";
    if (id.size() != 1 || !houses_with_lights(config).count(id[0])) {
        return "no light is configured in house " + cli::shown(id);
    }
    if (!payload_word(payload, word))
        return "payload " + shown_payload(payload) + " is not PRESS or a count";
    long long count = 1;
    if (ascii_upper(word) != "PRESS" &&
        (!cli::parse_number(word, max_steps, count) || count == 0)) {
        return "payload [" + cli::shown(word) + "] is not PRESS or a count from 1 to " +
               std::to_string(max_steps);
    }
    for (long long i = 0; i < count; ++i) out.frames.push_back(cli::house_frame(id[0], bright));
    out.label = out.frames.back().label + (count > 1 ? " x" + std::to_string(count) : "");
    return {};
}

std::vector<message> discovery_messages(const bridge_config& config, const std::string& version) {
    std::vector<message> out;
    if (!config.discovery) return out;
    const std::string root = config.topic_root() + "/";
    const std::string prefix = config.discovery_topic + "/";
    for (const unit_config& unit : config.units) {
        const std::string object = ascii_lower(unit.id);
        const nlohmann::json body = {{"unique_id", "vantrel_" + config.node_id + "_" + object},
                                     {"name", unit.name},
                                     {"command_topic", root + unit.id + "/set"},
                                     {"state_topic", root + unit.id + "/state"},
                                     {"payload_on", "ON"},
                                     {"payload_off", "OFF"},
                                     {"availability", availability(config)},
                                     {"qos", 1},
                                     {"device", device(config, version)}};
        out.push_back({prefix + (unit.light ? "light/" : "switch/") + config.node_id + "/" +
                           object + "/config",
                       body.dump()});
    }
    for (char house : houses_with_lights(config)) {
        for (const char* step : {"bright", "dim"}) {
            const std::string object = ascii_lower(std::string(1, house)) + "_" + step;
            const nlohmann::json body = {{"unique_id", "vantrel_" + config.node_id + "_" + object},
                                         {"name", std::string(1, house) + " " + step},
                                         {"command_topic", root + house + "/" + step + "/set"},
                                         {"payload_press", "PRESS"},
                                         {"availability", availability(config)},
                                         {"qos", 1},
                                         {"device", device(config, version)}};
            out.push_back(
                {prefix + "button/" + config.node_id + "/" + object + "/config", body.dump()});
        }
    }
    return out;
}

std::string own_discovery_filter(const bridge_config& config) {
    return config.discovery ? config.discovery_topic + "/+/" + config.node_id + "/+/config" : "";
}

}  // namespace vantrel::mqtt
