#include "commands.h"

#include "ascii.h"

#include <set>

namespace vantrel::mqtt {
namespace {

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

bool house_has_light(const bridge_config& config, char house) {
    for (const unit_config& unit : config.units) {
        if (unit.light && unit.id[0] == house) return true;
    }
    return false;
}

std::string shown_payload(const std::string& payload) {
    return payload.size() > max_payload ? std::to_string(payload.size()) + " bytes"
                                        : "[" + cli::shown(payload) + "]";
}

}  // namespace

std::string state_topic(const bridge_config& config, const std::string& id) {
    return config.topic_root() + "/" + id + "/state";
}

std::string brightness_topic(const bridge_config& config, const std::string& id) {
    return config.topic_root() + "/" + id + "/brightness";
}

bool still_configured(const bridge_config& config, const command& c) {
    if (c.what == command::kind::house) return house_has_light(config, c.id[0]);
    const unit_config* unit = find_unit(config, c.id);
    return unit && (c.level < 0 || unit->dimmable);
}

std::vector<std::string> command_filters(const bridge_config& config) {
    const std::string root = config.topic_root();
    return {root + "/+/set", root + "/+/brightness/set", root + "/+/bright/set",
            root + "/+/dim/set"};
}

command house_command(char house, bool bright, int count) {
    command c;
    c.what = command::kind::house;
    c.id = std::string(1, house);
    c.on = bright;
    c.count = count;
    c.frames.assign(static_cast<std::size_t>(count), cli::house_frame(house, bright));
    c.label = c.frames.back().label + (count > 1 ? " x" + std::to_string(count) : "");
    return c;
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
        if (!find_unit(config, id)) return "no unit " + cli::shown(id) + " is configured";
        if (!payload_word(payload, word))
            return "payload " + shown_payload(payload) + " is not ON or OFF";
        const std::string state = ascii_upper(word);
        if (state != "ON" && state != "OFF")
            return "payload [" + cli::shown(word) + "] is not ON or OFF";
        out.id = id;
        out.on = state == "ON";
        out.frames.push_back(cli::unit_frame(id, out.on));
        out.label = out.frames.back().label;
        return {};
    }
    if (action == "brightness/set") {
        const unit_config* unit = find_unit(config, id);
        if (!unit || !unit->dimmable)
            return "no dimmable light " + cli::shown(id) + " is configured";
        long long level = 0;
        if (!payload_word(payload, word) || !cli::parse_number(word, unit->dim_steps, level)) {
            return "payload " + shown_payload(payload) + " is not a brightness from 0 to " +
                   std::to_string(unit->dim_steps);
        }
        out.id = id;
        out.level = static_cast<int>(level);
        out.on = level > 0;
        out.label = id + " brightness " + std::to_string(level);
        return {};
    }
    if (action != "bright/set" && action != "dim/set") return "not a command topic";
    if (id.size() != 1 || !house_has_light(config, id[0])) {
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
    out = house_command(id[0], action == "bright/set", static_cast<int>(count));
    return {};
}

}  // namespace vantrel::mqtt
