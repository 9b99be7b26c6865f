#include "lamps.h"

#include <algorithm>

namespace vantrel::mqtt {

const unit_config* find_unit(const bridge_config& config, const std::string& id) {
    for (const unit_config& unit : config.units) {
        if (unit.id == id) return &unit;
    }
    return nullptr;
}

std::string beliefs::apply(const bridge_config& config, const cli::frame_order& frame) {
    const bool house_step = frame.id.size() == 1;
    const std::string id = house_step ? addressed[frame.id[0]] : frame.id;
    if (!house_step) addressed[id[0]] = id;
    const unit_config* unit = find_unit(config, id);
    if (!unit) return {};
    unit_belief& b = units[id];
    if (!house_step) {
        b.state = frame.on ? "ON" : "OFF";
        // A module that was off comes on at full; a dimmed one stays where it is.
        if (unit->dimmable) b.level = !frame.on ? 0 : b.level > 0 ? b.level : unit->dim_steps;
        return id;
    }
    // A lamp that is off comes on at full before it takes the step. A dimmed lamp stays on
    // however far it is dimmed.
    if (!unit->dimmable) return {};
    b.state = "ON";
    const int start = b.level > 0 ? b.level : unit->dim_steps;
    b.level = std::clamp(start + (frame.on ? 1 : -1), 1, unit->dim_steps);
    return id;
}

cli::work level_frames(const std::string& id, int from, int level, int steps) {
    if (level == 0) return {cli::unit_frame(id, false)};
    cli::work frames;
    if (from != 0 && from != steps) frames.push_back(cli::unit_frame(id, false));
    frames.push_back(cli::unit_frame(id, true));
    frames.insert(frames.end(), static_cast<std::size_t>(steps - level),
                  cli::house_frame(id[0], false));
    return frames;
}

}  // namespace vantrel::mqtt
