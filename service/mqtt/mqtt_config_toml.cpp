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

namespace kqd::mqtt {

bool TakeMqttOptions(std::vector<std::string>* args, MqttConfig* config, std::string* error) {
    for (std::size_t i = 0; i + 1 < args->size(); ++i) {
        if ((*args)[i] != "--config") {
            continue;
        }
        const std::string& path = (*args)[i + 1];
        toml::table table;
        try {
            table = toml::parse_file(path);
        } catch (const toml::parse_error& e) {
            *error = path + ": " + std::string(e.description());
            return false;
        }
        if (const toml::table* m = table["mqtt"].as_table()) {
            std::string e = LoadMqttToml(*config, *m);
            if (!e.empty()) {
                *error = path + ": " + e;
                return false;
            }
        } else if (table.contains("mqtt")) {
            *error = path + ": mqtt must be a table ([mqtt])";
            return false;
        }
    }
    std::vector<std::string> rest;
    for (std::size_t i = 0; i < args->size(); ++i) {
        const std::string& a = (*args)[i];
        std::string name = a.substr(0, a.find('='));
        std::string key = MqttKeyForOption(name);
        if (key.empty()) {
            rest.push_back(a);
            continue;
        }
        std::string value;
        if (name.size() < a.size()) {
            value = a.substr(name.size() + 1);
        } else if (i + 1 < args->size()) {
            value = (*args)[++i];
        } else {
            *error = name + " needs a value";
            return false;
        }
        std::string e = SetMqttKey(*config, key, value);
        if (!e.empty()) {
            *error = name + ": " + e;
            return false;
        }
    }
    *args = std::move(rest);
    return true;
}

std::string MqttUsage() {
    std::string out = "broker link (MQTT; each also a key of the config file's [mqtt] table):\n";
    for (const auto& o : MqttOptions()) {
        std::string option = std::string("--mqtt") + (std::string(o.key) == "url" ? "" : "-");
        if (std::string(o.key) != "url") {
            for (const char* c = o.key; *c; ++c) {
                option += *c == '_' ? '-' : *c;
            }
        }
        std::string left = "  " + option + " " + o.arg;
        if (left.size() < 28) {
            left.resize(28, ' ');
        } else {
            left += "\n" + std::string(28, ' ');
        }
        out += left + o.help + "\n";
    }
    return out;
}

} // namespace kqd::mqtt
