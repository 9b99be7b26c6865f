// vantrel mqtt: the CM17A as an MQTT device, announced to Home Assistant through discovery.
#pragma once

#include "bridge_config.h"
#include "bridge_log.h"
#include "port_sender.h"
#include "run.h"

#include <csignal>
#include <functional>
#include <string>

namespace vantrel::mqtt {

struct bridge_io {
    cli::sender* sender = nullptr;
    port_probe probe;
    // Non-zero once a stop signal has arrived.
    const volatile std::sig_atomic_t* stop = nullptr;
    // Set by SIGHUP; the bridge clears it and reads the configuration again through reread.
    volatile std::sig_atomic_t* reload = nullptr;
    std::function<bool(bridge_config& fresh, std::string& error)> reread;
    logger* log = nullptr;
    bool verbose = false;
    // A refused login or TLS handshake before the first connection ends the bridge at once:
    // for a person at a terminal, not for a service that starts before its broker is ready.
    bool refusals_final = false;
    std::string version;
    std::string support_url;  // for Home Assistant's device page; may be empty
    std::string host_name;    // shown to a second bridge that runs under the same identity
    // Where the bridge notes a session it could not end at a stop; empty: nowhere.
    std::string state_dir;
};

// Runs the bridge until a stop signal: 0 after a clean stop; 1 when the MQTT client cannot be
// set up at all, or, with refusals_final, the broker refuses it before the first connection.
// SIGHUP reads the configuration again: a good file replaces the one in use without losing a
// waiting command, a bad one is logged and changes nothing.
int run_bridge(bridge_config config, const bridge_io& io);

// The usage of vantrel mqtt.
std::string bridge_usage();

}  // namespace vantrel::mqtt
