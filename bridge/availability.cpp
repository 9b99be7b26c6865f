#include "availability.h"

#include "commands.h"
#include "discovery.h"

namespace vantrel::mqtt {

availability::availability(connection& link, const bridge_config& config, unit_states& states)
    : link_(link), config_(config), topic_(availability_topic(config)), states_(states) {}

void availability::connected() {
    std::lock_guard<std::mutex> hold(lock_);
    connected_ = true;
    publish_locked();
    for (const unit_config& unit : config_.units) {
        const auto last = states_.find(unit.id);
        if (last != states_.end()) link_.publish(state_topic(config_, unit.id), last->second, true);
    }
    if (!last_result_.empty()) link_.publish(last_frame_topic(config_), last_result_, true);
}

void availability::command_done(const std::string& result) {
    std::lock_guard<std::mutex> hold(lock_);
    last_result_ = result;
    if (connected_) link_.publish(last_frame_topic(config_), result, true);
}

void availability::unit_sent(const std::string& id, const std::string& state) {
    std::lock_guard<std::mutex> hold(lock_);
    states_[id] = state;
    if (connected_) link_.publish(state_topic(config_, id), state, true);
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
