// kqd's broker link: its settings, from the command line (--mqtt-*) or the
// config file's [mqtt] table. One table of keys serves both, so an option and
// its config key never drift apart.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kqd::mqtt {

struct MqttConfig {
    std::string url;  // mqtt://[user[:password]@]host[:port] or mqtts://...; empty: no broker link
    bool tls = false; // mqtts://
    std::string host;
    int port = 0; // 0 until the URL is parsed: 1883 for mqtt://, 8883 for mqtts://

    std::string username;      // also from the URL's user part
    std::string password;      // from the URL, the config file or password_file
    std::string password_file; // first line is the password (keeps it out of `ps`)

    std::string ca_file;   // CA certificate(s) that signed the broker's certificate (PEM)
    std::string ca_path;   // directory of CA certificates; default for mqtts:// without ca_file:
                           // /etc/ssl/certs
    std::string cert_file; // client certificate (PEM), with key_file: TLS client authentication
    std::string key_file;  // client key (PEM, not encrypted)
    bool tls_insecure = false; // do not check the broker's host name against its certificate

    std::string client_id;        // default "kqd-SITE"; must be unique on the broker
    std::string prefix = "kq";    // first topic level(s): PREFIX/SITE/SERIAL/...
    std::string site;             // the station's name in topics and payloads; default: host name
    int keepalive_s = 30;         // MQTT keep-alive (5..65535): a dead link is noticed within 1.5x
    std::size_t queue = 10000;    // events held while the link is down; oldest dropped beyond it
    bool operations = true;       // answer operations on PREFIX/SITE/SERIAL/cmd/OP
    std::string state_dir;        // where the per-reader sequence numbers are kept across restarts
    bool state_sync = true;       // fdatasync the state file (safe against a power loss too)
    int protocol = 5;             // 5 (MQTT 5) or 4 (MQTT 3.1.1)
    int reconnect_min_ms = 500;   // first delay before reconnecting
    int reconnect_max_ms = 30000; // the delay doubles per failed attempt up to this bound
    int connect_timeout_ms = 10000; // a connection attempt that gets no CONNACK by then is dropped
    int inflight = 32;              // QoS 1 messages sent but not yet acknowledged, at most

    bool Enabled() const { return !url.empty(); }
};

// One setting: its config-file key; the command-line option is "--mqtt-" + key
// with '_' as '-' (the URL is plain "--mqtt").
struct MqttOptionInfo {
    const char* key;
    const char* arg; // placeholder for --help
    const char* help;
};
const std::vector<MqttOptionInfo>& MqttOptions();

// "--mqtt-keepalive" -> "keepalive", "--mqtt" -> "url"; empty when the option
// is not one of the broker link's.
std::string MqttKeyForOption(std::string_view option);

// Sets one key from its text (command line, or a config value turned into
// text). Returns an error message, empty when the value was taken.
std::string SetMqttKey(MqttConfig& config, std::string_view key, std::string_view value);

// Parses url into tls/host/port/username/password. Returns an error message or "".
std::string ParseMqttUrl(MqttConfig& config, const std::string& url);

// After all settings are in: defaults (site, client id, ports), the password
// file, checks that need several keys (a certificate needs its key, TLS files
// exist, topic levels are valid). Returns an error message or "".
std::string FinishMqttConfig(MqttConfig& config);

// A topic level or prefix that may be used in topics kqd publishes: not empty,
// no '+', '#' or NUL, no empty level; '/' only when multi_level.
bool ValidTopicPart(std::string_view part, bool multi_level);

} // namespace kqd::mqtt
