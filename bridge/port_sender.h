// The bridge's one sender: takes the commands from the queue in arrival order and puts each on
// the port as one work, through the same sender and per-device lock as the command line, so
// that the bridge and a cron job never mix their frames. It also watches the port: a port that
// fails or goes away makes the bridge offline until a probe finds it back.
#pragma once

#include "availability.h"
#include "bridge_config.h"
#include "bridge_log.h"
#include "command_queue.h"
#include "connection.h"
#include "run.h"

#include <atomic>
#include <csignal>
#include <functional>
#include <string>
#include <thread>

namespace vantrel::mqtt {

// Opens and closes the port, touching its lines no further, under the port lock: whether a
// port that failed is back. False with the reason.
using port_probe = std::function<bool(const std::string& port, std::string& why)>;

class port_sender {
  public:
    port_sender(const bridge_config& config, command_queue& queue, availability& state,
                logger& log, cli::sender& sender, port_probe probe,
                const volatile std::sig_atomic_t& stop);
    port_sender(const port_sender&) = delete;
    port_sender& operator=(const port_sender&) = delete;
    ~port_sender() { finish(); }
    void start();
    // Asks the thread to end after the command in progress, without waiting: left() tells when
    // it has. The commands still waiting stay in the queue.
    void leave();
    bool left() const { return left_; }
    // Returns once the command in progress is done (or cut by the stop signal).
    void finish();

  private:
    void run();
    void send(command& c);
    void refuse_waiting();

    const bridge_config& config_;
    command_queue& queue_;
    availability& state_;
    logger& log_;
    cli::sender& sender_;
    port_probe probe_;
    const volatile std::sig_atomic_t& stop_;
    std::atomic<bool> leaving_{false};
    std::atomic<bool> left_{false};
    std::thread thread_;
};

}  // namespace vantrel::mqtt
