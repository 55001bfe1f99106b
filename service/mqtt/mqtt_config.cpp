#include "mqtt_config.h"

#include "text/percent.h"

#include <cerrno>
#include <charconv>
#include <fstream>
#include <unistd.h>

namespace kqd::mqtt {

namespace {

bool ParseInt(std::string_view text, long min, long max, long& out) {
    long v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || v < min || v > max) {
        return false;
    }
    out = v;
    return true;
}

bool ParseBool(std::string_view text, bool& out) {
    if (text == "true" || text == "on" || text == "yes" || text == "1") {
        out = true;
        return true;
    }
    if (text == "false" || text == "off" || text == "no" || text == "0") {
        out = false;
        return true;
    }
    return false;
}

bool FileReadable(const std::string& path) {
    return access(path.c_str(), R_OK) == 0;
}

} // namespace

const std::vector<MqttOptionInfo>& MqttOptions() {
    static const std::vector<MqttOptionInfo> options = {
        {"url", "URL", "broker: mqtt://[USER@]HOST[:PORT] or mqtts://... (TLS)"},
        {"username", "USER", "user name for the broker"},
        {"password_file", "FILE", "file whose first line is the broker password"},
        {"password", "PASSWORD", "broker password (visible to ps: prefer password_file)"},
        {"ca_file", "FILE", "CA certificate(s) for the broker's certificate (PEM)"},
        {"ca_path", "DIR", "directory of CA certificates (default /etc/ssl/certs)"},
        {"cert_file", "FILE", "client certificate (PEM) for TLS client authentication"},
        {"key_file", "FILE", "client key (PEM) for cert_file"},
        {"tls_insecure", "BOOL", "do not check the broker's host name (testing only)"},
        {"client_id", "ID", "MQTT client id (default kqd-SITE), unique on the broker"},
        {"prefix", "PREFIX", "first topic level(s) (default kq)"},
        {"site", "SITE", "station name in topics and payloads (default: host name)"},
        {"keepalive", "SECONDS", "keep-alive, 5..65535 (default 30)"},
        {"queue", "N", "events kept while the broker is unreachable (default 10000)"},
        {"operations", "BOOL", "answer operations sent over MQTT (default true)"},
        {"state_dir", "DIR", "keep per-reader sequence numbers across restarts here"},
        {"state_sync", "BOOL", "fdatasync the state file before publishing (default true)"},
        {"protocol", "5|3.1.1", "MQTT protocol version (default 5)"},
        {"reconnect_min_ms", "MS", "first reconnect delay (default 500)"},
        {"reconnect_max_ms", "MS", "longest reconnect delay (default 30000)"},
        {"connect_timeout_ms", "MS", "give up a connection attempt after (default 10000)"},
        {"inflight", "N", "QoS 1 messages awaiting acknowledgement, 1..1000 (default 32)"},
    };
    return options;
}

std::string MqttKeyForOption(std::string_view option) {
    if (option == "--mqtt") {
        return "url";
    }
    constexpr std::string_view lead = "--mqtt-";
    if (option.substr(0, lead.size()) != lead) {
        return {};
    }
    std::string key(option.substr(lead.size()));
    for (char& c : key) {
        if (c == '-') {
            c = '_';
        }
    }
    for (const auto& info : MqttOptions()) {
        if (key == info.key) {
            return key;
        }
    }
    return {};
}

bool ValidTopicPart(std::string_view part, bool multi_level) {
    if (part.empty() || part.front() == '/' || part.back() == '/') {
        return false;
    }
    char previous = 0;
    for (char c : part) {
        if (c == '+' || c == '#' || c == '\0' || static_cast<unsigned char>(c) < 0x20) {
            return false;
        }
        if (c == '/' && (!multi_level || previous == '/')) {
            return false;
        }
        previous = c;
    }
    return true;
}

std::string ParseMqttUrl(MqttConfig& c, const std::string& url) {
    std::string_view rest(url);
    if (rest.substr(0, 7) == "mqtt://") {
        c.tls = false;
        rest.remove_prefix(7);
    } else if (rest.substr(0, 8) == "mqtts://") {
        c.tls = true;
        rest.remove_prefix(8);
    } else {
        return "the broker URL must start with mqtt:// or mqtts://";
    }
    if (!rest.empty() && rest.back() == '/') {
        rest.remove_suffix(1);
    }
    if (rest.find('/') != std::string_view::npos || rest.find('?') != std::string_view::npos) {
        return "the broker URL has a path; give only mqtt://HOST[:PORT]";
    }
    auto at = rest.rfind('@');
    if (at != std::string_view::npos) {
        std::string_view userinfo = rest.substr(0, at);
        rest.remove_prefix(at + 1);
        auto colon = userinfo.find(':');
        std::string user, password;
        if (!PercentDecode(userinfo.substr(0, colon), user) ||
            (colon != std::string_view::npos &&
             !PercentDecode(userinfo.substr(colon + 1), password))) {
            return "bad %-escape in the broker URL's user or password";
        }
        if (user.empty()) {
            return "the broker URL has an '@' but no user name";
        }
        c.username = user;
        if (colon != std::string_view::npos) {
            c.password = password;
        }
    }
    std::string_view host = rest;
    std::string_view port;
    if (!rest.empty() && rest.front() == '[') {
        auto close = rest.find(']');
        if (close == std::string_view::npos) {
            return "the broker URL's IPv6 address lacks its ']'";
        }
        host = rest.substr(1, close - 1);
        std::string_view after = rest.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') {
                return "unexpected text after the broker URL's IPv6 address";
            }
            port = after.substr(1);
        }
    } else {
        auto colon = rest.rfind(':');
        if (colon != std::string_view::npos) {
            host = rest.substr(0, colon);
            port = rest.substr(colon + 1);
        }
    }
    if (host.empty()) {
        return "the broker URL has no host";
    }
    long p = c.tls ? 8883 : 1883;
    if (!port.empty() && !ParseInt(port, 1, 65535, p)) {
        return "the broker URL's port must be 1..65535";
    }
    c.host = std::string(host);
    c.port = static_cast<int>(p);
    c.url = url;
    return {};
}

std::string SetMqttKey(MqttConfig& c, std::string_view key, std::string_view value) {
    std::string v(value);
    long n = 0;
    auto number = [&](long min, long max, int& field) -> std::string {
        if (!ParseInt(value, min, max, n)) {
            return "mqtt " + std::string(key) + " must be a whole number in " +
                   std::to_string(min) + ".." + std::to_string(max);
        }
        field = static_cast<int>(n);
        return {};
    };
    auto boolean = [&](bool& field) -> std::string {
        if (!ParseBool(value, field)) {
            return "mqtt " + std::string(key) + " must be true or false";
        }
        return {};
    };
    if (key == "url") {
        return ParseMqttUrl(c, v);
    }
    // The settings taken as they are.
    static constexpr struct {
        std::string_view name;
        std::string MqttConfig::*field;
    } kTexts[] = {
        {"username", &MqttConfig::username},
        {"password", &MqttConfig::password},
        {"password_file", &MqttConfig::password_file},
        {"ca_file", &MqttConfig::ca_file},
        {"ca_path", &MqttConfig::ca_path},
        {"cert_file", &MqttConfig::cert_file},
        {"key_file", &MqttConfig::key_file},
        {"state_dir", &MqttConfig::state_dir},
    };
    for (const auto& t : kTexts) {
        if (key == t.name) {
            c.*t.field = v;
            return {};
        }
    }
    if (key == "tls_insecure") {
        return boolean(c.tls_insecure);
    } else if (key == "client_id") {
        if (v.empty() || v.size() > 128) {
            return "mqtt client_id must have 1..128 characters";
        }
        c.client_id = v;
    } else if (key == "prefix") {
        if (!ValidTopicPart(v, true)) {
            return "mqtt prefix must be topic levels without '+', '#' or empty levels";
        }
        c.prefix = v;
    } else if (key == "site") {
        if (!ValidTopicPart(v, false)) {
            return "mqtt site must be one topic level (no '/', '+', '#')";
        }
        c.site = v;
    } else if (key == "keepalive") {
        return number(5, 65535, c.keepalive_s);
    } else if (key == "queue") {
        int q = 0;
        std::string e = number(1, 10000000, q);
        c.queue = static_cast<std::size_t>(q);
        return e;
    } else if (key == "operations") {
        return boolean(c.operations);
    } else if (key == "state_sync") {
        return boolean(c.state_sync);
    } else if (key == "protocol") {
        if (v == "5" || v == "5.0") {
            c.protocol = 5;
        } else if (v == "3.1.1" || v == "4") {
            c.protocol = 4;
        } else {
            return "mqtt protocol must be 5 or 3.1.1";
        }
    } else if (key == "reconnect_min_ms") {
        return number(10, 3600000, c.reconnect_min_ms);
    } else if (key == "reconnect_max_ms") {
        return number(10, 3600000, c.reconnect_max_ms);
    } else if (key == "connect_timeout_ms") {
        return number(100, 3600000, c.connect_timeout_ms);
    } else if (key == "inflight") {
        return number(1, 1000, c.inflight);
    } else {
        return "unknown mqtt setting '" + std::string(key) + "'";
    }
    return {};
}

std::string FinishMqttConfig(MqttConfig& c) {
    if (!c.Enabled()) {
        return {};
    }
    if (c.site.empty()) {
        char name[256] = {};
        if (gethostname(name, sizeof name - 1) != 0 || name[0] == 0) {
            return "mqtt site is not set and the host name is unknown";
        }
        std::string site(name);
        auto dot = site.find('.');
        if (dot != std::string::npos) {
            site.resize(dot);
        }
        if (!ValidTopicPart(site, false)) {
            return "the host name '" + site + "' cannot be a topic level: set mqtt site";
        }
        c.site = site;
    }
    if (c.client_id.empty()) {
        c.client_id = "kqd-" + c.site;
    }
    if (!c.password_file.empty()) {
        std::ifstream in(c.password_file);
        if (!in) {
            return "cannot read the mqtt password file '" + c.password_file + "'";
        }
        std::string line;
        std::getline(in, line);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        c.password = line;
    }
    if (!c.password.empty() && c.username.empty()) {
        return "an mqtt password needs a user name (username, or user@ in the URL)";
    }
    if (c.cert_file.empty() != c.key_file.empty()) {
        return "mqtt cert_file and key_file go together";
    }
    if (!c.tls && (!c.ca_file.empty() || !c.cert_file.empty() || !c.ca_path.empty())) {
        return "mqtt TLS files are set but the URL is mqtt://; use mqtts://";
    }
    for (const std::string* f : {&c.ca_file, &c.cert_file, &c.key_file}) {
        if (!f->empty() && !FileReadable(*f)) {
            return "cannot read '" + *f + "'";
        }
    }
    if (c.tls && c.ca_file.empty() && c.ca_path.empty()) {
        c.ca_path = "/etc/ssl/certs";
    }
    if (c.reconnect_max_ms < c.reconnect_min_ms) {
        return "mqtt reconnect_max_ms must not be below reconnect_min_ms";
    }
    if (c.queue < static_cast<std::size_t>(c.inflight)) {
        c.inflight = static_cast<int>(c.queue);
    }
    return {};
}

} // namespace kqd::mqtt
