#include "mqtt_config_toml.h"

namespace kqd::mqtt {

std::string LoadMqttToml(MqttConfig& config, const toml::table& table) {
    for (const auto& [key, node] : table) {
        std::string text;
        if (auto s = node.value_exact<std::string>()) {
            text = *s;
        } else if (auto b = node.value_exact<bool>()) {
            text = *b ? "true" : "false";
        } else if (auto i = node.value_exact<int64_t>()) {
            text = std::to_string(*i);
        } else if (auto d = node.value_exact<double>(); d && std::string(key.str()) == "protocol") {
            text = *d == 5.0 ? "5" : std::to_string(*d);
        } else {
            return "mqtt " + std::string(key.str()) + ": expected a string, integer or boolean";
        }
        std::string error = SetMqttKey(config, key.str(), text);
        if (!error.empty()) {
            return error;
        }
    }
    return {};
}

} // namespace kqd::mqtt
