// The bridge's availability: "online" while it is connected and its port works. One owner
// publishes it, from one state under one lock, so that a change from the sender (the port
// failed) and one from the connection (connected again) are published in the order they
// happened, and the last word is always the present state.
#pragma once

#include "connection.h"

#include <mutex>
#include <string>

namespace vantrel::mqtt {

class availability {
  public:
    availability(connection& link, std::string topic) : link_(link), topic_(std::move(topic)) {}
    // The connection is ready for it: the present state goes out.
    void connected();
    void disconnected();
    // The port failed or came back; published at once when connected.
    void port(bool ok);
    bool port_ok() const;
    const std::string& topic() const { return topic_; }

  private:
    void publish_locked();
    connection& link_;
    const std::string topic_;
    mutable std::mutex lock_;
    bool connected_ = false;
    bool port_ok_ = true;
};

}  // namespace vantrel::mqtt
