// The MQTT bridge's configuration file: YAML in the layout that users of other MQTT gateways
// for Home Assistant know. Read whole and checked before the bridge connects or sends anything.
#pragma once

#include "command_line.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vantrel::mqtt {

struct unit_config {
    std::string id;     // as the table spells it: "A1", "E3"
    std::string name;   // what Home Assistant shows; the id when not given
    bool light = true;  // a light (dimmable lamp module) or a switch (appliance module)
};

struct bridge_config {
    // mqtt:
    std::string host = "localhost";
    int port = 1883;
    bool tls = false;
    std::string base_topic = "vantrel";
    std::string user;
    std::string password;  // read from password_file; never from the configuration itself
    bool has_password = false;
    std::string ca_file;
    std::string client_id;  // vantrel-<node_id> unless given
    int keepalive_s = 60;
    // homeassistant:
    bool discovery = true;
    std::string discovery_topic = "homeassistant";
    std::string status_topic = "homeassistant/status";
    // serial:
    std::string serial_port;
    frame_timings timings;
    std::int32_t frame_gap_ms = cli::default_frame_gap_ms;
    std::string node_id;
    std::vector<unit_config> units;  // in the file's order

    // "<base_topic>/<node_id>": every topic of this bridge but discovery's.
    std::string topic_root() const { return base_topic + "/" + node_id; }
};

// Reads and checks the file at path. On a fault, returns false with error set to
// "FILE:LINE: what is wrong" (no line where none applies). Warnings, such as a password file
// that other users may read, are appended to warnings. host_name stands in for node_id when
// the file gives none.
bool load_config(const std::string& path, const std::string& host_name, bridge_config& out,
                 std::string& error, std::vector<std::string>& warnings);

// A host name as a node id: lower case, and every character outside [a-z0-9_] dropped.
std::string node_id_from_host(const std::string& host_name);

}  // namespace vantrel::mqtt
