// The config file's [mqtt] table: the same keys as the --mqtt-* options.
#pragma once

#include "mqtt_config.h"

#include <toml++/toml.h>

#include <string>
#include <vector>

namespace kqd::mqtt {

// Applies every key of the [mqtt] table (strings, integers, booleans). An
// unknown key or a wrong value is an error (its message names the key).
// Returns "" when everything was taken.
std::string LoadMqttToml(MqttConfig& config, const toml::table& mqtt_table);

} // namespace kqd::mqtt

namespace kqd::mqtt {

// For kqd's main: takes the broker link's settings out of the command line
// (its --mqtt* options and their values are removed from *args) after the
// [mqtt] table of the --config FILE, if one is given (options win). Returns
// false with *error set on a bad setting or an unreadable file.
bool TakeMqttOptions(std::vector<std::string>* args, MqttConfig* config, std::string* error);

// The --mqtt* options for --help.
std::string MqttUsage();

} // namespace kqd::mqtt
