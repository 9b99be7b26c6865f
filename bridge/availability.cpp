#include "availability.h"

namespace vantrel::mqtt {

void availability::connected() {
    std::lock_guard<std::mutex> hold(lock_);
    connected_ = true;
    publish_locked();
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
