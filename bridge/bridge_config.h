// The MQTT bridge's configuration file: YAML in the layout that users of other MQTT gateways
// for Home Assistant know. Read whole and checked before the bridge connects or sends anything.
#pragma once

#include "command_line.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vantrel::mqtt {

// How many DIM commands take a lamp module from full to off, unless a unit says otherwise: X10
// counts 210 dim levels from full to off, and a transceiver relays each DIM it hears over the
// air as 11 of them on the power line.
inline constexpr int default_dim_steps = 19;

// The largest BRIGHT or DIM count one command may ask for, and the most steps a lamp may have.
inline constexpr int max_steps = 32;

struct unit_config {
    std::string id;     // as the table spells it: "A1", "E3"
    std::string name;   // what Home Assistant shows; the id when not given
    bool light = true;  // a light (lamp module) or a switch (appliance module)
    bool dimmable = true;  // a light that takes a brightness
    int dim_steps = default_dim_steps;
};

// The bridge's own frame timings: 1 ms per half-symbol and a 10 ms reset, as CM17A tools have
// clocked it on real hardware for decades, and no standby wait (the lines stay raised after the
// close, so nothing is cut). A command takes some 100 ms instead of nearly a second; the gap
// that lets the CM17A finish its radio repeats stays.
inline constexpr frame_timings bridge_timings{1, 10, 0};

struct bridge_config {
    // mqtt:
    std::string host = "localhost";  // a name or an address; an IPv6 address without brackets
    int port = 1883;
    bool tls = false;
    std::string base_topic = "vantrel";
    std::string user;
    std::string password;  // read from password_file; never from the configuration itself
    bool has_password = false;
    std::string ca_file;    // empty: the system's certificate store
    std::string client_id;  // vantrel-<node_id> unless given
    bool client_id_given = false;
    int keepalive_s = 60;
    // How long the broker keeps the bridge's session, and the commands that arrive for it,
    // after the connection is gone: long enough for a restart, short enough that a command
    // is not carried out long after it was given.
    std::uint32_t session_expiry_s = 300;
    // homeassistant:
    bool discovery = true;
    std::string discovery_topic = "homeassistant";
    std::string status_topic = "homeassistant/status";
    // serial:
    std::string serial_port;
    frame_timings timings = bridge_timings;
    std::int32_t frame_gap_ms = cli::default_frame_gap_ms;
    // The bridge's identity in every topic and in Home Assistant; empty until set_node_id when
    // the file gives none.
    std::string node_id;
    bool node_id_given = false;
    std::vector<unit_config> units;  // in the file's order

    // "<base_topic>/<node_id>": every topic of this bridge but discovery's.
    std::string topic_root() const { return base_topic + "/" + node_id; }
    // The identity, and the client id that follows from it unless the file gives one.
    void set_node_id(const std::string& id);
};

// Reads and checks the file at path. On a fault, returns false with error set to
// "FILE:LINE: what is wrong" (no line where none applies). Warnings, such as a password file
// that other users may read, are appended to warnings. Files it names (password, CA) are read
// as the user who calls it.
bool load_config(const std::string& path, bridge_config& out, std::string& error,
                 std::vector<std::string>& warnings);

// Whether text is a node id: lower-case letters, digits and _, 1 to 64 of them.
bool is_node_id(const std::string& text);

// A host name's part that may stand in a node id: lower case, and every character outside
// [a-z0-9_] dropped.
std::string node_id_from_host(const std::string& host_name);

}  // namespace vantrel::mqtt
