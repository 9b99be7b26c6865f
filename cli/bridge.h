// vantrel mqtt: the CM17A as an MQTT device, announced to Home Assistant through discovery.
#pragma once

#include "bridge_config.h"
#include "run.h"

#include <csignal>
#include <cstdio>
#include <functional>
#include <string>

namespace vantrel::mqtt {

struct bridge_io {
    cli::sender* sender = nullptr;
    // Opens and closes the port, touching its lines no further, under the port lock: whether
    // a port that failed is back. Returns false with the reason.
    std::function<bool(const std::string& port, std::string& why)> probe;
    // Non-zero once a stop signal has arrived.
    const volatile std::sig_atomic_t* stop = nullptr;
    std::FILE* log = stderr;
    bool verbose = false;
};

// Runs the bridge until a stop signal: 0 after a clean stop, 1 when the broker refuses the
// login or the connection cannot be set up at all (the log says why).
int run_bridge(const bridge_config& config, const std::string& version, const bridge_io& io);

// The usage of vantrel mqtt.
std::string bridge_usage();

}  // namespace vantrel::mqtt
