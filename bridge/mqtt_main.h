// vantrel mqtt: the bridge's command line on POSIX systems.
#pragma once

#include "posix_sender.h"

#include <string>
#include <vector>

namespace vantrel::posix {

// Runs "vantrel mqtt ARGS": reads the configuration, then runs the bridge until a stop signal.
int mqtt_main(const std::vector<std::string>& args, const lock_settings& lock);

}  // namespace vantrel::posix
