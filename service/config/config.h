// kqd's settings: defaults, the TOML config file, the command line (which
// wins over the file), and the checks that refuse an unsafe combination.
#pragma once

#include "http/api.h"
#include "log/log.h"
#include "reader/reader_hub.h"

#include <string>
#include <vector>

namespace kqd {

struct Config {
    HubSettings hub;
    HttpSettings http;
    size_t history = 1024; ///< events kept for Last-Event-ID resume
    bool simulated = false;
    std::string scenario;
    std::string config_file;
    LogLevel log_level = LogLevel::Info;
    bool check_config = false;
    bool help = false;
    bool version = false;
    bool www_set = false; ///< --www or www = given (else the default folder)
};

extern const char* const kUsage;

/// Reads the TOML file into *config (only the keys it holds). Unknown keys
/// are errors; a [mqtt] table is left to the broker link.
bool LoadConfigFile(const std::string& path, Config* config, std::string* error);

/// Parses the command line (without argv[0]). A --config FILE is read
/// first, wherever it stands, so that the other options override it.
bool ParseCommandLine(const std::vector<std::string>& args, Config* config, std::string* error);

/// The checks of a whole configuration: a listen address other than
/// loopback needs a token; numbers within their ranges.
bool CheckConfig(const Config& config, std::string* error);

/// "HOST:PORT", "[V6]:PORT" or ":PORT" into host and port.
bool ParseListen(const std::string& text, std::string* host, uint16_t* port);

bool IsLoopback(const std::string& host);

} // namespace kqd
