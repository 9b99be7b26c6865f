// What the bridge reads from and writes to MQTT, apart from the connection itself: the command
// topics and payloads it takes, and Home Assistant's discovery configs it publishes.
#pragma once

#include "bridge_config.h"
#include "command_line.h"

#include <string>
#include <vector>

namespace vantrel::mqtt {

// A retained message.
struct message {
    std::string topic;
    std::string payload;
};

// A command taken from a .../set topic.
struct command {
    std::vector<cli::frame_order> frames;  // in sending order
    std::string state_topic;               // where a unit's new state goes once sent; or empty
    std::string state;                     // "ON" or "OFF"
    std::string label;                     // for the log: "A1 ON", "E BRIGHT x3"
};

// The largest payload the bridge reads; anything longer is refused unread.
inline constexpr std::size_t max_payload = 64;

// Reads a message on one of the bridge's command topics. Returns an empty string and fills out,
// or the reason it sends nothing (for the log).
std::string parse_command(const bridge_config& config, const std::string& topic,
                          const std::string& payload, command& out);

// The topic filters the bridge subscribes to for commands.
std::vector<std::string> command_filters(const bridge_config& config);

std::string availability_topic(const bridge_config& config);

// Every discovery config of this bridge: a light or switch per unit, a BRIGHT and a DIM button
// per house with a light. Empty when discovery is off.
std::vector<message> discovery_messages(const bridge_config& config, const std::string& version);

// The filter that finds every discovery config published under this bridge's node id, so that
// configs of units no longer configured can be cleared. Empty when discovery is off.
std::string own_discovery_filter(const bridge_config& config);

}  // namespace vantrel::mqtt
