// The bridge's availability: "online" while it is connected and its port works, and its units'
// states. One owner publishes them, from one state under one lock, so that a change from the
// sender (the port failed, a unit switched) and one from the connection (connected again) are
// published in the order they happened, and the last word is always the present state.
#pragma once

#include "connection.h"

#include <map>
#include <mutex>
#include <string>

namespace vantrel::mqtt {

class availability {
  public:
    // The last state sent for each unit, by id: kept by the caller across reloads.
    using unit_states = std::map<std::string, std::string>;
    availability(connection& link, const bridge_config& config, unit_states& states);
    // The connection is ready for it: the present state goes out, with every configured unit's
    // last state (one sent while the broker was out of reach is not lost).
    void connected();
    void disconnected();
    // The port failed or came back; published at once when connected.
    void port(bool ok);
    bool port_ok() const;
    // A unit's frame was sent: its state, published at once when connected.
    void unit_sent(const std::string& id, const std::string& state);
    // A command's result ("A1 ON sent", "A1 ON failed: why"), kept and published like a state.
    void command_done(const std::string& result);
    const std::string& topic() const { return topic_; }

  private:
    void publish_locked();
    connection& link_;
    const bridge_config& config_;
    const std::string topic_;
    unit_states& states_;
    mutable std::mutex lock_;
    bool connected_ = false;
    bool port_ok_ = true;
    std::string last_result_;
};

}  // namespace vantrel::mqtt
