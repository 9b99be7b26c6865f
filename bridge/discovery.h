// What the bridge tells Home Assistant and everyone else on the broker about itself: the
// discovery configs of its units, its availability, and its presence under its identity.
#pragma once

#include "bridge_config.h"

#include <string>
#include <vector>

namespace vantrel::mqtt {

// A retained message.
struct message {
    std::string topic;
    std::string payload;
};

std::string availability_topic(const bridge_config& config);

// "<base>/<node>/last_frame": the last command's result, retained, for a diagnostic sensor.
std::string last_frame_topic(const bridge_config& config);

// Every discovery config of this bridge: a light or switch per unit, a BRIGHT and a DIM button
// per house with a light, and a diagnostic sensor with the last command's result. Empty when
// discovery is off. support_url may be empty.
std::vector<message> discovery_messages(const bridge_config& config, const std::string& version,
                                        const std::string& support_url);

// "<base>/<node>/remote": each new press of an X10 button heard through rtl_433 ("B9 ON",
// "B DIM"), not retained.
std::string remote_topic(const bridge_config& config);

// The device trigger of one X10 button heard ("B9 ON", "B BRIGHT"), under the bridge's device,
// so that a remote's buttons drive Home Assistant's automations.
message trigger_message(const bridge_config& config, const std::string& button,
                        const std::string& version, const std::string& support_url);

// The filter that finds every discovery config published under this bridge's node id, so that
// configs of units no longer configured can be cleared. Empty when discovery is off.
std::string own_discovery_filter(const bridge_config& config);

// Whether a config found under that filter is one that this identity published: its unique_id
// begins with vantrel_<node_id>_ (or it is a device trigger on the bridge's remote topic) and
// its device's identifiers hold vantrel_<node_id>. Other
// programs publish under the same node id (it is the host name by default), and theirs are not
// this bridge's to clear.
bool published_by_this_bridge(const bridge_config& config, const std::string& payload);

// The button of a device trigger config that this bridge published ("B9 ON"), found at topic;
// empty for anything else.
std::string trigger_button(const bridge_config& config, const std::string& topic,
                           const std::string& payload);

// Who runs under this identity: "<base_topic>/<node_id>/bridge", retained, so that a second
// bridge with the same identity (a cloned SD card) is found out.
std::string presence_topic(const bridge_config& config);
std::string presence_payload(const std::string& instance, const std::string& host, long pid,
                             const std::string& client_id);
// The instance and client id (empty when not given) named by a presence payload, and a
// description of it for the log; false for a payload that names no instance.
bool read_presence(const std::string& payload, std::string& instance, std::string& client_id,
                   std::string& who);

}  // namespace vantrel::mqtt
