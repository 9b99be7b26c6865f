#include "discovery.h"

#include "ascii.h"
#include "commands.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <set>

namespace vantrel::mqtt {
namespace {

using nlohmann::json;

// Text that is not UTF-8 (a host name, say) is replaced, never thrown at.
std::string text_of(const json& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string device_identifier(const bridge_config& config) { return "vantrel_" + config.node_id; }

json device(const bridge_config& config, const std::string& version) {
    return {{"identifiers", {device_identifier(config)}},
            {"name", "vantrel " + config.node_id},
            {"manufacturer", "X10"},
            {"model", "CM17A"},
            {"sw_version", version}};
}

json origin(const std::string& version, const std::string& support_url) {
    json o = {{"name", "vantrel"}, {"sw_version", version}};
    if (!support_url.empty()) o["support_url"] = support_url;
    return o;
}

json availability(const bridge_config& config) {
    return json::array({{{"topic", availability_topic(config)},
                         {"payload_available", "online"},
                         {"payload_not_available", "offline"}}});
}

std::set<char> houses_with_lights(const bridge_config& config) {
    std::set<char> houses;
    for (const unit_config& unit : config.units) {
        if (unit.light) houses.insert(unit.id[0]);
    }
    return houses;
}

}  // namespace

std::string availability_topic(const bridge_config& config) {
    return config.topic_root() + "/availability";
}

std::string presence_topic(const bridge_config& config) { return config.topic_root() + "/bridge"; }

std::string last_frame_topic(const bridge_config& config) {
    return config.topic_root() + "/last_frame";
}

std::string remote_topic(const bridge_config& config) { return config.topic_root() + "/remote"; }

// "<discovery>/device_automation/<node>/b9_on/config"
std::string trigger_topic(const bridge_config& config, const std::string& button) {
    std::string object = ascii_lower(button);
    std::replace(object.begin(), object.end(), ' ', '_');
    return config.discovery_topic + "/device_automation/" + config.node_id + "/" + object +
           "/config";
}

message trigger_message(const bridge_config& config, const std::string& button,
                        const std::string& version, const std::string& support_url) {
    const json body = {{"automation_type", "trigger"},
                       {"topic", remote_topic(config)},
                       {"payload", button},
                       {"type", "button_short_press"},
                       {"subtype", button},
                       {"qos", 1},
                       {"device", device(config, version)},
                       {"origin", origin(version, support_url)}};
    return {trigger_topic(config, button), text_of(body)};
}

std::vector<message> discovery_messages(const bridge_config& config, const std::string& version,
                                        const std::string& support_url) {
    std::vector<message> out;
    if (!config.discovery) return out;
    const std::string root = config.topic_root() + "/";
    const std::string prefix = config.discovery_topic + "/";
    const json common = {{"availability", availability(config)},
                         {"qos", 1},
                         {"device", device(config, version)},
                         {"origin", origin(version, support_url)}};
    for (const unit_config& unit : config.units) {
        const std::string object = ascii_lower(unit.id);
        json body = {{"unique_id", device_identifier(config) + "_" + object},
                     {"name", unit.name},
                     {"command_topic", root + unit.id + "/set"},
                     {"state_topic", state_topic(config, unit.id)},
                     {"payload_on", "ON"},
                     {"payload_off", "OFF"},
                     // A module cannot be read back: Home Assistant shows the state as assumed,
                     // with on and off buttons, rather than a toggle that claims to know.
                     {"optimistic", true}};
        if (unit.dimmable) {
            // The level in DIM steps; a turn-on with a brightness comes as that alone, so that
            // the bridge sees the target in one message and makes one work of it.
            body.update({{"brightness_command_topic", root + unit.id + "/brightness/set"},
                         {"brightness_state_topic", brightness_topic(config, unit.id)},
                         {"brightness_scale", unit.dim_steps},
                         {"on_command_type", "brightness"}});
        }
        body.update(common);
        out.push_back({prefix + (unit.light ? "light/" : "switch/") + config.node_id + "/" +
                           object + "/config",
                       text_of(body)});
    }
    for (char house : houses_with_lights(config)) {
        for (const char* step : {"bright", "dim"}) {
            const std::string object = ascii_lower(std::string(1, house)) + "_" + step;
            json body = {{"unique_id", device_identifier(config) + "_" + object},
                         {"name", std::string(1, house) + " " + step},
                         {"command_topic", root + house + "/" + step + "/set"},
                         {"payload_press", "PRESS"}};
            body.update(common);
            out.push_back(
                {prefix + "button/" + config.node_id + "/" + object + "/config", text_of(body)});
        }
    }
    // Without availability: a failing adapter takes the bridge offline, and that is when its
    // reason must still show. A bridge without units has no frames to tell of.
    if (config.units.empty()) return out;
    const json last = {{"unique_id", device_identifier(config) + "_last_frame"},
                       {"name", "Last frame"},
                       {"state_topic", last_frame_topic(config)},
                       {"entity_category", "diagnostic"},
                       {"icon", "mdi:radio-tower"},
                       {"qos", 1},
                       {"device", common["device"]},
                       {"origin", common["origin"]}};
    out.push_back({prefix + "sensor/" + config.node_id + "/last_frame/config", text_of(last)});
    return out;
}

std::string own_discovery_filter(const bridge_config& config) {
    return config.discovery ? config.discovery_topic + "/+/" + config.node_id + "/+/config" : "";
}

bool published_by_this_bridge(const bridge_config& config, const std::string& payload) {
    const json body = json::parse(payload, nullptr, false);
    if (!body.is_object()) return false;
    const auto text = [&](const char* key) {
        const auto at = body.find(key);
        return at != body.end() && at->is_string() ? at->get<std::string>() : std::string();
    };
    // An entity's unique_id, or a device trigger on the bridge's remote topic (a trigger has
    // no unique_id).
    const std::string prefix = device_identifier(config) + "_";
    if (text("unique_id").compare(0, prefix.size(), prefix) != 0 &&
        (text("automation_type") != "trigger" || text("topic") != remote_topic(config))) {
        return false;
    }
    // This bridge writes "device" and "identifiers" in full, the identifiers as a list.
    const auto dev = body.find("device");
    if (dev == body.end() || !dev->is_object()) return false;
    const auto ids = dev->find("identifiers");
    if (ids == dev->end() || !ids->is_array()) return false;
    return std::find(ids->begin(), ids->end(), json(device_identifier(config))) != ids->end();
}

std::string trigger_button(const bridge_config& config, const std::string& topic,
                           const std::string& payload) {
    if (!published_by_this_bridge(config, payload)) return {};
    const json body = json::parse(payload);
    const auto button = body.find("payload");
    if (button == body.end() || !button->is_string()) return {};
    const std::string text = button->get<std::string>();
    // Only a button this bridge could have heard, at the topic it gives it.
    const std::size_t space = text.find(' ');
    if (space == std::string::npos) return {};
    const std::string id = text.substr(0, space), what = text.substr(space + 1);
    const bool house = id.size() == 1 && id[0] >= 'A' && id[0] <= 'P';
    const bool heard_form = house ? what == "DIM" || what == "BRIGHT"
                                  : (what == "ON" || what == "OFF") &&
                                        cli::unit_frame(id, what == "ON").code != nullptr;
    if (!heard_form || trigger_topic(config, text) != topic) return {};
    return text;
}

std::string presence_payload(const std::string& instance, const std::string& host, long pid,
                             const std::string& client_id) {
    return text_of({{"instance", instance}, {"host", host}, {"pid", pid}, {"client_id", client_id}});
}

bool read_presence(const std::string& payload, std::string& instance, std::string& client_id,
                   std::string& who) {
    const json body = json::parse(payload, nullptr, false);
    if (!body.is_object() || !body.contains("instance") || !body["instance"].is_string())
        return false;
    instance = body["instance"].get<std::string>();
    const json id = body.value("client_id", json());
    client_id = id.is_string() ? id.get<std::string>() : "";
    const json host = body.value("host", json());
    const json pid = body.value("pid", json());
    who = "host " + (host.is_string() ? host.get<std::string>() : std::string("?")) + ", pid " +
          (pid.is_number_integer() ? std::to_string(pid.get<long long>()) : std::string("?"));
    return true;
}

}  // namespace vantrel::mqtt
