#include "config/config.h"

#include <toml++/toml.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <variant>

namespace kqd {

const char* const kUsage =
    "usage: kqd [options]\n"
    "Shares every attached KQ reader with many programs: field events, operations\n"
    "and a web page over a local HTTP API.\n"
    "  --listen HOST:PORT        address to serve (default 127.0.0.1:8760; any\n"
    "                            address other than loopback needs --token)\n"
    "  --token TOKEN             required as 'Authorization: Bearer TOKEN'\n"
    "  --token-file FILE         the token, read from FILE (first line)\n"
    "  --allow-origin ORIGIN     a web origin allowed besides kqd's own (repeatable)\n"
    "  --allow-host HOST[:PORT]  a Host name served besides loopback (repeatable)\n"
    "  --reader SERIAL_OR_PATH   own this reader only (repeatable; default: every\n"
    "                            reader the driver lists, and those plugged in later)\n"
    "  --simulated               serve the built-in simulated reader\n"
    "  --scenario FILE           the simulated reader's scenario file\n"
    "  --history N               events kept for Last-Event-ID resume (1024)\n"
    "  --debounce N              inventories a tag may be missing from before it\n"
    "                            leaves (3)\n"
    "  --inventory-interval MS   pause between two inventories of a reader (20)\n"
    "  --rescan-interval MS      how often the driver's list is read (2000)\n"
    "  --reopen-interval MS      how often an offline reader is tried (500)\n"
    "  --queue-limit N           operations waiting per reader (16)\n"
    "  --max-connections N       open HTTP connections (128)\n"
    "  --max-sse-clients N       event-stream clients (110)\n"
    "  --threads N               network threads (1)\n"
    "  --www DIR                 the web page's folder\n"
    "  --config FILE             read settings from a TOML file (options win)\n"
    "  --check-config            check the settings and exit (0 = good)\n"
    "  --log-level LEVEL         error, warning, info (default) or debug\n"
    "  --version, --help\n";

namespace {

using Value = std::variant<std::string, int64_t, bool, std::vector<std::string>>;
enum class Type { Text, Number, Flag, List };

struct Option {
    const char* name; // the TOML key; the option is "--" + name with '_' as '-'
    Type type;
    std::function<bool(Config&, const Value&, std::string*)> set;
};

bool Range(const Value& v, int64_t lo, int64_t hi, int64_t* out, std::string* error,
           const char* name) {
    int64_t n = std::get<int64_t>(v);
    if (n < lo || n > hi) {
        *error = std::string(name) + " must be " + std::to_string(lo) + "-" + std::to_string(hi);
        return false;
    }
    *out = n;
    return true;
}

#define KQD_INT(KEY, FIELD, LO, HI)                                                                \
    Option {                                                                                       \
        KEY, Type::Number, [](Config& c, const Value& v, std::string* e) {                         \
            int64_t n = 0;                                                                         \
            if (!Range(v, LO, HI, &n, e, KEY)) {                                                   \
                return false;                                                                      \
            }                                                                                      \
            c.FIELD = static_cast<decltype(c.FIELD)>(n);                                           \
            return true;                                                                           \
        }                                                                                          \
    }

// A text option copied as it is.
#define KQD_TEXT(KEY, FIELD)                                                                       \
    Option {                                                                                       \
        KEY, Type::Text, [](Config& c, const Value& v, std::string*) {                             \
            c.FIELD = std::get<std::string>(v);                                                    \
            return true;                                                                           \
        }                                                                                          \
    }

// A list option whose items are added as they are.
#define KQD_LIST(KEY, FIELD)                                                                       \
    Option {                                                                                       \
        KEY, Type::List, [](Config& c, const Value& v, std::string*) {                             \
            for (const auto& s : std::get<std::vector<std::string>>(v)) {                          \
                c.FIELD.push_back(s);                                                              \
            }                                                                                      \
            return true;                                                                           \
        }                                                                                          \
    }

bool ReadToken(const std::string& path, std::string* token, std::string* error) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) {
        *error = "cannot read the token file '" + path + "'";
        return false;
    }
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) {
        line.pop_back();
    }
    *token = line;
    return true;
}

const std::vector<Option>& Options() {
    static const std::vector<Option> options = {
        {"listen", Type::Text,
         [](Config& c, const Value& v, std::string* e) {
             if (!ParseListen(std::get<std::string>(v), &c.http.host, &c.http.port)) {
                 *e = "listen: '" + std::get<std::string>(v) + "' is not HOST:PORT";
                 return false;
             }
             return true;
         }},
        KQD_TEXT("token", http.token),
        {"token_file", Type::Text,
         [](Config& c, const Value& v, std::string* e) {
             return ReadToken(std::get<std::string>(v), &c.http.token, e);
         }},
        KQD_LIST("allow_origin", http.allow_origins),
        KQD_LIST("allow_host", http.allow_hosts),
        {"reader", Type::List,
         [](Config& c, const Value& v, std::string* e) {
             for (const auto& s : std::get<std::vector<std::string>>(v)) {
                 if (s.empty() || s.size() >= 64) {
                     *e = "reader: '" + s + "' is not a serial number or device path";
                     return false;
                 }
                 c.hub.readers.push_back(s);
             }
             return true;
         }},
        {"simulated", Type::Flag,
         [](Config& c, const Value& v, std::string*) {
             c.simulated = std::get<bool>(v);
             return true;
         }},
        KQD_TEXT("scenario", scenario),
        KQD_INT("history", history, 1, 1000000),
        KQD_INT("debounce", hub.debounce, 1, 100),
        KQD_INT("inventory_interval", hub.inventory_interval_ms, 0, 60000),
        KQD_INT("rescan_interval", hub.rescan_interval_ms, 100, 3600000),
        KQD_INT("reopen_interval", hub.reopen_interval_ms, 50, 3600000),
        KQD_INT("queue_limit", hub.queue_limit, 1, 1000),
        KQD_INT("max_connections", http.max_connections, 1, 100000),
        KQD_INT("max_sse_clients", http.max_sse_clients, 1, 100000),
        KQD_INT("threads", http.threads, 1, 64),
        KQD_INT("request_timeout", http.request_timeout_ms, 100, 600000),
        KQD_INT("idle_timeout", http.idle_timeout_ms, 100, 3600000),
        KQD_INT("write_timeout", http.write_timeout_ms, 100, 600000),
        KQD_INT("sse_queue_limit", http.sse_queue_limit, 16, 1000000),
        {"www", Type::Text,
         [](Config& c, const Value& v, std::string*) {
             c.http.www_dir = std::get<std::string>(v);
             c.www_set = true;
             return true;
         }},
        {"log_level", Type::Text,
         [](Config& c, const Value& v, std::string* e) {
             if (!ParseLogLevel(std::get<std::string>(v), &c.log_level)) {
                 *e = "log_level: '" + std::get<std::string>(v) +
                      "' is not error, warning, info or debug";
                 return false;
             }
             return true;
         }},
    };
    return options;
}

const Option* Find(const std::string& key) {
    for (const auto& o : Options()) {
        if (key == o.name) {
            return &o;
        }
    }
    return nullptr;
}

// The TOML spelling of a list option is its plural ("readers"), the
// single one is accepted too.
std::string Singular(const std::string& key) {
    if (key == "readers" || key == "allow_origins" || key == "allow_hosts") {
        return key.substr(0, key.size() - 1);
    }
    return key;
}

} // namespace

bool IsLoopback(const std::string& host) {
    return host == "127.0.0.1" || host == "::1" || host == "localhost" ||
           host.rfind("127.", 0) == 0;
}

bool ParseListen(const std::string& text, std::string* host, uint16_t* port) {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 >= text.size()) {
        return false;
    }
    std::string h = text.substr(0, colon);
    std::string p = text.substr(colon + 1);
    if (h.size() >= 2 && h.front() == '[' && h.back() == ']') {
        h = h.substr(1, h.size() - 2);
    } else if (h.find(':') != std::string::npos) {
        return false; // a v6 address needs brackets
    }
    if (h.empty()) {
        h = "127.0.0.1";
    }
    if (h == "localhost") {
        h = "127.0.0.1";
    }
    if (p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    unsigned long n = std::stoul(p);
    if (n > 65535) {
        return false;
    }
    *host = h;
    *port = static_cast<uint16_t>(n);
    return true;
}

bool LoadConfigFile(const std::string& path, Config* config, std::string* error) {
    toml::table table;
    try {
        table = toml::parse_file(path);
    } catch (const toml::parse_error& err) {
        std::ostringstream msg;
        msg << path << ":" << err.source().begin.line << ": " << err.description();
        *error = msg.str();
        return false;
    }
    for (const auto& [k, node] : table) {
        std::string key(k.str());
        if (key == "mqtt" && node.is_table()) {
            continue; // the broker link's own section
        }
        const Option* o = Find(Singular(key));
        if (o == nullptr) {
            *error = path + ": unknown setting '" + key + "'";
            return false;
        }
        Value v;
        bool ok = false;
        switch (o->type) {
        case Type::Text:
            if (auto s = node.value<std::string>()) {
                v = *s;
                ok = true;
            }
            break;
        case Type::Number:
            if (node.is_integer()) {
                v = node.as_integer()->get();
                ok = true;
            }
            break;
        case Type::Flag:
            if (auto b = node.value<bool>()) {
                v = *b;
                ok = true;
            }
            break;
        case Type::List:
            if (const toml::array* a = node.as_array()) {
                std::vector<std::string> items;
                ok = true;
                for (const auto& item : *a) {
                    auto s = item.value<std::string>();
                    ok = ok && s.has_value();
                    if (s) {
                        items.push_back(*s);
                    }
                }
                v = items;
            } else if (auto s = node.value<std::string>()) {
                v = std::vector<std::string>{*s};
                ok = true;
            }
            break;
        }
        if (!ok) {
            *error = path + ": '" + key + "' has the wrong type";
            return false;
        }
        std::string e;
        if (!o->set(*config, v, &e)) {
            *error = path + ": " + e;
            return false;
        }
    }
    return true;
}

bool ParseCommandLine(const std::vector<std::string>& args, Config* config, std::string* error) {
    // The file first, so that options given beside it win.
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--config") {
            if (i + 1 >= args.size()) {
                *error = "--config needs a value";
                return false;
            }
            config->config_file = args[i + 1];
            if (!LoadConfigFile(config->config_file, config, error)) {
                return false;
            }
        }
    }
    // A list given on the command line replaces the file's.
    bool readers_seen = false, origins_seen = false, hosts_seen = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--config") {
            ++i;
            continue;
        }
        if (a == "--help" || a == "-h") {
            config->help = true;
            continue;
        }
        if (a == "--version") {
            config->version = true;
            continue;
        }
        if (a == "--check-config") {
            config->check_config = true;
            continue;
        }
        if (a.rfind("--", 0) != 0) {
            *error = "unexpected argument '" + a + "'";
            return false;
        }
        std::string key = a.substr(2);
        std::string value;
        bool inline_value = false;
        if (size_t eq = key.find('='); eq != std::string::npos) {
            value = key.substr(eq + 1);
            key.erase(eq);
            inline_value = true;
        }
        for (char& c : key) {
            c = c == '-' ? '_' : c;
        }
        const Option* o = Find(key);
        if (o == nullptr) {
            *error = "unknown option '" + a + "' (see --help)";
            return false;
        }
        if (o->type == Type::Flag) {
            if (!o->set(*config, Value(true), error)) {
                return false;
            }
            continue;
        }
        if (!inline_value) {
            if (i + 1 >= args.size()) {
                *error = a + " needs a value";
                return false;
            }
            value = args[++i];
        }
        Value v;
        if (o->type == Type::Number) {
            if (value.empty() || value.size() > 12 ||
                value.find_first_not_of("0123456789") != std::string::npos) {
                *error = a + ": '" + value + "' is not a number";
                return false;
            }
            v = static_cast<int64_t>(std::stoll(value));
        } else if (o->type == Type::List) {
            if (key == "reader" && !readers_seen) {
                config->hub.readers.clear();
                readers_seen = true;
            } else if (key == "allow_origin" && !origins_seen) {
                config->http.allow_origins.clear();
                origins_seen = true;
            } else if (key == "allow_host" && !hosts_seen) {
                config->http.allow_hosts.clear();
                hosts_seen = true;
            }
            v = std::vector<std::string>{value};
        } else {
            v = value;
        }
        std::string e;
        if (!o->set(*config, v, &e)) {
            *error = e;
            return false;
        }
    }
    return true;
}

bool CheckConfig(const Config& c, std::string* error) {
    if (!IsLoopback(c.http.host) && c.http.token.empty()) {
        *error = "listening on " + c.http.host +
                 " (not loopback) needs a token (--token or --token-file)";
        return false;
    }
    if (!c.http.token.empty() && c.http.token.size() < 16) {
        *error = "the token must be at least 16 characters";
        return false;
    }
    for (char ch : c.http.token) {
        if (ch <= 0x20 || ch > 0x7E) {
            *error = "the token must be printable ASCII without spaces";
            return false;
        }
    }
    for (const auto& o : c.http.allow_origins) {
        if (o.rfind("http://", 0) != 0 && o.rfind("https://", 0) != 0) {
            *error = "allow_origin '" + o + "' must start with http:// or https://";
            return false;
        }
    }
    return true;
}

} // namespace kqd
