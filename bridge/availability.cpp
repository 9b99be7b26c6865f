#include "availability.h"

#include "commands.h"
#include "discovery.h"

#include <algorithm>
#include <vector>

namespace vantrel::mqtt {

availability::availability(connection& link, const bridge_config& config, beliefs& units)
    : link_(link), config_(config), topic_(availability_topic(config)), units_(units) {}

void availability::connected() {
    std::lock_guard<std::mutex> hold(lock_);
    connected_ = true;
    publish_locked();
    for (const unit_config& unit : config_.units) publish_unit_locked(unit);
    if (!last_result_.empty()) link_.publish(last_frame_topic(config_), last_result_, true);
}

void availability::command_done(const std::string& result) {
    std::lock_guard<std::mutex> hold(lock_);
    last_result_ = result;
    if (connected_) link_.publish(last_frame_topic(config_), result, true);
}

void availability::frames_done(const cli::work& frames, std::size_t count) {
    std::lock_guard<std::mutex> hold(lock_);
    std::vector<std::string> changed;
    for (std::size_t i = 0; i < count && i < frames.size(); ++i) {
        const std::string id = units_.apply(config_, frames[i]);
        if (!id.empty() && std::find(changed.begin(), changed.end(), id) == changed.end())
            changed.push_back(id);
    }
    if (!connected_) return;
    for (const std::string& id : changed) publish_unit_locked(*find_unit(config_, id));
}

int availability::level(const std::string& id) const {
    std::lock_guard<std::mutex> hold(lock_);
    const auto b = units_.units.find(id);
    return b == units_.units.end() ? unknown_level : b->second.level;
}

// The brightness of a lamp that is off is not published: Home Assistant keeps the last one
// to show when it comes on again.
void availability::publish_unit_locked(const unit_config& unit) {
    const auto b = units_.units.find(unit.id);
    if (b == units_.units.end() || b->second.state.empty()) return;
    link_.publish(state_topic(config_, unit.id), b->second.state, true);
    if (unit.dimmable && b->second.level > 0) {
        const int level = std::min(b->second.level, unit.dim_steps);  // dim_steps read again
        link_.publish(brightness_topic(config_, unit.id), std::to_string(level), true);
    }
}

void availability::disconnected() {
    std::lock_guard<std::mutex> hold(lock_);
    connected_ = false;
}

void availability::port(bool ok) {
    std::lock_guard<std::mutex> hold(lock_);
    if (port_ok_ == ok) return;
    port_ok_ = ok;
    if (connected_) publish_locked();
}

bool availability::port_ok() const {
    std::lock_guard<std::mutex> hold(lock_);
    return port_ok_;
}

void availability::publish_locked() { link_.publish(topic_, port_ok_ ? "online" : "offline", true); }

}  // namespace vantrel::mqtt
