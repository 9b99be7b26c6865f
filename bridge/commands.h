// The commands the bridge takes: the topics it subscribes to and what their payloads mean.
#pragma once

#include "bridge_config.h"
#include "command_line.h"
#include "lamps.h"

#include <string>
#include <vector>

namespace vantrel::mqtt {

// A command taken from a .../set topic: one work for the sender.
struct command {
    enum class kind { unit, house };
    kind what = kind::unit;
    std::string id;         // "A1", or the house letter for BRIGHT and DIM
    bool on = true;         // a unit's ON; a house's BRIGHT
    int count = 1;          // a house's steps
    int level = -1;         // a dimmable lamp's brightness to reach (0 to its dim_steps), or -1
    cli::work frames;       // in sending order; a level's are made when it is sent
    std::string label;        // for the log: "A1 ON", "E BRIGHT x3"
};

// The largest payload the bridge reads; anything longer is refused unread.
inline constexpr std::size_t max_payload = 64;

// Reads a message on one of the bridge's command topics. Returns an empty string and fills out,
// or the reason it sends nothing (for the log).
std::string parse_command(const bridge_config& config, const std::string& topic,
                          const std::string& payload, command& out);

// A house's BRIGHT or DIM count as one command.
command house_command(char house, bool bright, int count);

// Where a unit's state is published, retained: "<base>/<node>/<ID>/state".
std::string state_topic(const bridge_config& config, const std::string& id);
// Where a dimmable lamp's estimated brightness is published, retained.
std::string brightness_topic(const bridge_config& config, const std::string& id);

// Whether a waiting command still means something under config (read again): its unit or
// house is still configured.
bool still_configured(const bridge_config& config, const command& c);

// The topic filters the bridge subscribes to for commands.
std::vector<std::string> command_filters(const bridge_config& config);

}  // namespace vantrel::mqtt
