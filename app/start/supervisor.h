// The Supervisor's MQTT service: the broker that Home Assistant's Mosquitto app runs, with a
// login made for this app.
#pragma once

#include "app_options.h"

#include <string>

namespace vantrel::app {

// GET <url>/services/mqtt with the app's token. On failure, returns false with error set to one
// line that says what went wrong (unreachable, the token refused, an answer that is not the
// service's) and never holds the token or a password.
bool fetch_mqtt_service(const std::string& url, const std::string& token, mqtt_service& out,
                        std::string& error);

}  // namespace vantrel::app
