// The config file's [mqtt] table: the same keys as the --mqtt-* options.
#pragma once

#include "mqtt_config.h"

#include <toml++/toml.h>

namespace kqd::mqtt {

// Applies every key of the [mqtt] table (strings, integers, booleans). An
// unknown key or a wrong value is an error (its message names the key).
// Returns "" when everything was taken.
std::string LoadMqttToml(MqttConfig& config, const toml::table& mqtt_table);

} // namespace kqd::mqtt
