// The bridge's availability: "online" while it is connected and its port works, and its units'
// states. One owner publishes them, from one state under one lock, so that a change from the
// sender (the port failed, a unit switched) and one from the connection (connected again) are
// published in the order they happened, and the last word is always the present state.
#pragma once

#include "connection.h"
#include "lamps.h"

#include <map>
#include <mutex>
#include <string>

namespace vantrel::mqtt {

class availability {
  public:
    // What is believed of the units: kept by the caller across reloads.
    availability(connection& link, const bridge_config& config, beliefs& units);
    // The connection is ready for it: the present state goes out, with every configured unit's
    // last state (one sent while the broker was out of reach is not lost).
    void connected();
    void disconnected();
    // The port failed or came back; published at once when connected.
    void port(bool ok);
    bool port_ok() const;
    // Frames sent (or heard): the states they change, published at once when connected.
    void frames_done(const cli::work& frames, std::size_t count);
    // A unit's believed level (unknown_level when nothing is known).
    int level(const std::string& id) const;
    // A command's result ("A1 ON sent", "A1 ON failed: why"), kept and published like a state.
    void command_done(const std::string& result);
    const std::string& topic() const { return topic_; }

  private:
    void publish_locked();
    void publish_unit_locked(const unit_config& unit);
    connection& link_;
    const bridge_config& config_;
    const std::string topic_;
    beliefs& units_;
    mutable std::mutex lock_;
    bool connected_ = false;
    bool port_ok_ = true;
    std::string last_result_;
};

}  // namespace vantrel::mqtt
