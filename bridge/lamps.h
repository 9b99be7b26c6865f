// What the bridge believes of its modules. Nothing can be read back from an X10 module, so
// each state is what the frames sent (or heard from a remote) should have made of it: an
// estimate, published as such.
#pragma once

#include "bridge_config.h"
#include "command_line.h"

#include <map>
#include <string>

namespace vantrel::mqtt {

// A dimmable lamp's level in DIM steps above off: 0 is off, the unit's dim_steps full.
inline constexpr int unknown_level = -1;

struct unit_belief {
    std::string state;  // "ON" or "OFF"; empty until a frame for the unit
    int level = unknown_level;
};

struct beliefs {
    std::map<std::string, unit_belief> units;  // by id
    // The unit each house addressed last: a BRIGHT or DIM acts on it.
    std::map<char, std::string> addressed;

    // What one frame, sent or heard, does. Returns the configured unit whose state it changed,
    // or an empty string.
    std::string apply(const bridge_config& config, const cli::frame_order& frame);
};

// The frames that take a dimmable lamp believed at `from` to `level` (0 to steps). A lamp
// module that is off comes on at full, and one that is on (dimmed or not) takes DIMs; ON leaves
// a dimmed lamp where it is, so a lamp that may be dimmed is switched off first.
cli::work level_frames(const std::string& id, int from, int level, int steps);

const unit_config* find_unit(const bridge_config& config, const std::string& id);

}  // namespace vantrel::mqtt
