// What the bridge's tests run against: a mosquitto broker of their own on a free port of
// 127.0.0.1, an MQTT client that records what it receives, a TCP proxy that can cut the
// bridge's connection.
#pragma once

#include "child_process.h"

#include <mosquitto.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace test {

// A free TCP port of 127.0.0.1, as the kernel picks one.
int free_port();

class broker {
  public:
    // extra: lines for the configuration file (a password file, a TLS listener's files).
    broker(const std::string& dir, const std::string& extra = "");
    ~broker() { stop(); }
    // On the same port each time, with extra as its configuration's last lines; returns once
    // it accepts connections.
    void start(const std::string& extra = "");
    void stop();
    int port() const { return port_; }
    // What the broker has logged since it last started: its connections and disconnections.
    std::string log() const;
    // SIGHUP: the broker reads its password file again.
    void reload() const;

  private:
    std::string dir_, config_;
    int port_;
    child* process_ = nullptr;
};

struct received {
    std::string topic, payload;
    bool retain = false;
    long long t_ns = 0;  // when it arrived, on CLOCK_MONOTONIC (the virtual CM17A's clock)
};

class client {
  public:
    explicit client(int port, const std::string& user = "", const std::string& password = "");
    client(const client&) = delete;
    client& operator=(const client&) = delete;
    ~client();
    void subscribe(const std::string& filter);
    // QoS 1; returns once the broker has acknowledged it.
    void publish(const std::string& topic, const std::string& payload, bool retain = false);
    std::vector<received> messages() const;
    // The messages on one topic, in arrival order.
    std::vector<received> on(const std::string& topic) const;
    // Waits until topic has had payload n times.
    bool wait_for(const std::string& topic, const std::string& payload, std::size_t n = 1);

  private:
    mosquitto* m_ = nullptr;
    mutable std::mutex lock_;
    std::vector<received> messages_;
    int subacks_ = 0, pubacks_ = 0;  // guarded by lock_
    std::condition_variable ack_;
    void acked(bool publish);
    int count(const int& acks) const;
    bool wait_past(const int& acks, int before);
};

// Forwards 127.0.0.1:port() to 127.0.0.1:target, until cut() drops every connection and refuses
// new ones; restore() accepts them again. deafen() drops what the client sends from then on
// (its acknowledgements are lost), until cut().
class tcp_proxy {
  public:
    // Listens on port, or on a free one.
    explicit tcp_proxy(int target, int port = 0);
    ~tcp_proxy();
    int port() const { return port_; }
    void cut();
    void restore();
    void deafen() { deaf_ = true; }

  private:
    void listen_now();
    void serve();
    int target_, port_;
    int listener_ = -1;
    std::atomic<bool> cut_{false}, done_{false}, deaf_{false};
    std::vector<std::pair<int, int>> pairs_;
    std::mutex lock_;
    std::thread thread_;
};

}  // namespace test
