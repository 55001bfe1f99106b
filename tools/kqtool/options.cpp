// Parsing the command line: the option table, values and the usage text.
#include "options.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>

namespace kqtool {

namespace {

const char kUsage[] =
    "usage: kqtool [options] COMMAND [ARGS]\n"
    "\n"
    "Commands:\n"
    "  list                          serial number of the first reader\n"
    "  probe                         open the reader, probe it, close it\n"
    "  beep [LENGTH]                 sound the buzzer for LENGTH x 100 ms (default 1)\n"
    "  inventory                     UIDs of the tags in the field\n"
    "  tag-command TEXT              send TEXT (at most 35 characters) to the tag\n"
    "  read UID START COUNT          read COUNT blocks from block START of a tag\n"
    "  write UID START COUNT TEXT    write TEXT into COUNT blocks (4 or 8 characters\n"
    "                                each) from block START, then verify it\n"
    "  multi-read START COUNT        read the same blocks from every tag in the field\n"
    "  multi-write START COUNT (UID=TEXT ... | --file FILE)\n"
    "                                write each listed tag that is in the field\n"
    "  sensor UID [--channel N | --setting HEX]\n"
    "                                one 8-bit measurement of a sensor tag\n"
    "  loop uid                      report the tags in the field as they change\n"
    "  loop tag-command TEXT         repeat TEXT until a tag answers it\n"
    "  loop multi-read START COUNT   read every tag that enters the field\n"
    "  loop multi-write START COUNT (UID=TEXT ... | --file FILE)\n"
    "                                write every listed tag that enters the field\n"
    "\n"
    "Options:\n"
    "  --json             one JSON object per result (and per notification)\n"
    "  --real             use a real reader (KQ_D2XX as set; unset = vendor library,\n"
    "                     on Linux falling back to the kernel serial driver)\n"
    "  --device ID        reader serial number or /dev/PATH (default: the first one)\n"
    "  --sim-lib PATH     simulated reader library (default: next to kqtool)\n"
    "  --buzzer N         beep N x 100 ms after each successful operation\n"
    "  --timeout MS       the device's read and write timeouts (default 1000)\n"
    "  --for SECONDS      loop mode: stop after SECONDS (default: until Ctrl-C)\n"
    "  --churn MS         loop mode, simulated reader: move a tag into or out of the\n"
    "                     field every MS milliseconds (default 1000, 0 = never)\n"
    "  --sim-unplug MS    simulated reader: unplug it MS milliseconds after the start\n"
    "  --progress         show progress of long reads and writes (default: when\n"
    "                     stdout is a terminal); --no-progress never\n"
    "  --channel N        sensor: reference setting of channel N (0-2, default 0)\n"
    "  --setting HEX      sensor: explicit reference setting (01-FF)\n"
    "  --file FILE        multi-write: targets from FILE, one 'UID TEXT' per line\n"
    "  --version          kqtool's and the library's version\n"
    "  -h, --help         this text\n"
    "\n"
    "Without --real kqtool runs against its built-in simulated reader.\n"
    "Options a command has no use for are refused. Exit status: 0 success, 1 the\n"
    "operation failed, 2 usage error (nothing reached the reader), 3 the reader was\n"
    "lost during loop mode, 128 + signal a read or write stopped by that signal.\n";

enum class ValueKind { None, Text, Integer, Seconds };

struct OptionInfo {
    const char* name;
    ValueKind kind;
    long long min;
    long long max;
};

constexpr OptionInfo kOptions[] = {
    {"--json", ValueKind::None, 0, 0},
    {"--real", ValueKind::None, 0, 0},
    {"--help", ValueKind::None, 0, 0},
    {"-h", ValueKind::None, 0, 0},
    {"--version", ValueKind::None, 0, 0},
    {"--progress", ValueKind::None, 0, 0},
    {"--no-progress", ValueKind::None, 0, 0},
    {"--device", ValueKind::Text, 0, 0},
    {"--sim-lib", ValueKind::Text, 0, 0},
    {"--file", ValueKind::Text, 0, 0},
    {"--buzzer", ValueKind::Integer, 0, 255},
    {"--timeout", ValueKind::Integer, 0, 600000},
    {"--for", ValueKind::Seconds, 0, 0},
    {"--churn", ValueKind::Integer, 0, 3600000},
    {"--sim-unplug", ValueKind::Integer, 0, 3600000},
    {"--channel", ValueKind::Integer, 0, 2},
    {"--setting", ValueKind::Integer, 0, 0},
};

const OptionInfo* FindOption(const std::string& name) {
    for (const OptionInfo& option : kOptions) {
        if (name == option.name) {
            return &option;
        }
    }
    return nullptr;
}

bool ParseSeconds(const std::string& text, double* value) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (end == nullptr || *end != '\0' || !std::isfinite(v) || v < 0 || v > 1e6) {
        return false;
    }
    *value = v;
    return true;
}

// A hexadecimal byte, "5A" or "0x5A".
bool ParseHexByte(const std::string& text, long long* value) {
    std::string digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits = digits.substr(2);
    }
    if (digits.empty() || digits.size() > 2) {
        return false;
    }
    unsigned v = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v, 16);
    if (ec != std::errc() || end != digits.data() + digits.size()) {
        return false;
    }
    *value = v;
    return true;
}

bool Apply(const OptionInfo& option, const std::string& value, Options* o, std::string* error) {
    std::string name = option.name;
    if (name == "--json") {
        o->json = true;
    } else if (name == "--real") {
        o->real = true;
    } else if (name == "--help" || name == "-h") {
        o->help = true;
    } else if (name == "--version") {
        o->version = true;
    } else if (name == "--progress") {
        o->progress = 1;
    } else if (name == "--no-progress") {
        o->progress = 0;
    } else if (name == "--device") {
        o->device = value;
    } else if (name == "--sim-lib") {
        o->sim_lib = value;
    } else if (name == "--file") {
        o->file = value;
    } else if (name == "--for") {
        if (!ParseSeconds(value, &o->for_seconds)) {
            *error = "--for needs a number of seconds, not '" + value + "'";
            return false;
        }
    } else if (name == "--setting") {
        long long v = 0;
        if (!ParseHexByte(value, &v) || v == 0) {
            *error = "--setting needs a hexadecimal value 01-FF, not '" + value + "'";
            return false;
        }
        o->setting = static_cast<int>(v);
    } else {
        long long v = 0;
        if (!ParseNumber(value, option.min, option.max, &v)) {
            *error = name + " needs a number " + std::to_string(option.min) + "-" +
                     std::to_string(option.max) + ", not '" + value + "'";
            return false;
        }
        if (name == "--buzzer") {
            o->buzzer = static_cast<int>(v);
        } else if (name == "--timeout") {
            o->timeout_ms = static_cast<unsigned>(v);
        } else if (name == "--churn") {
            o->churn_ms = static_cast<int>(v);
        } else if (name == "--sim-unplug") {
            o->sim_unplug_ms = static_cast<int>(v);
        } else if (name == "--channel") {
            o->channel = static_cast<int>(v);
        }
    }
    return true;
}

} // namespace

bool ParseNumber(const std::string& text, long long min, long long max, long long* value) {
    if (text.empty()) {
        return false;
    }
    int base = 10;
    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        first += 2;
    }
    long long v = 0;
    auto [end, ec] = std::from_chars(first, last, v, base);
    if (ec != std::errc() || end != last || v < min || v > max) {
        return false;
    }
    *value = v;
    return true;
}

bool ParseOptions(int argc, char** argv, Options* o, std::string* error) {
    // --json first, so that even an error in front of it is reported as JSON.
    for (int i = 1; i < argc && std::string(argv[i]) != "--"; ++i) {
        o->json = o->json || std::string(argv[i]) == "--json";
    }
    std::vector<std::string> positional;
    bool options_done = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        // "-1" is a (negative) number for the command to judge, not an option.
        bool negative_number = arg.size() >= 2 && arg[0] == '-' && arg[1] >= '0' && arg[1] <= '9';
        if (options_done || arg.size() < 2 || arg[0] != '-' || negative_number) {
            positional.push_back(arg);
            // Known as early as possible, for the report of a later error.
            if (positional.size() == 1) {
                o->command = arg;
            } else if (positional.size() == 2 && o->command == "loop") {
                o->loop_kind = arg;
            }
            continue;
        }
        if (arg == "--") {
            options_done = true;
            continue;
        }
        std::string name = arg;
        std::string value;
        bool inline_value = false;
        size_t eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            inline_value = true;
        }
        const OptionInfo* option = FindOption(name);
        if (option == nullptr) {
            *error = "unknown option '" + name + "'";
            return false;
        }
        if (option->kind == ValueKind::None) {
            if (inline_value) {
                *error = "option " + name + " takes no value";
                return false;
            }
        } else if (!inline_value) {
            if (i + 1 >= argc) {
                *error = "option " + name + " needs a value";
                return false;
            }
            value = argv[++i];
        }
        if (!Apply(*option, value, o, error)) {
            return false;
        }
        o->given.push_back(std::string(option->name) == "-h" ? "--help" : option->name);
    }
    if (o->help || o->version) {
        return true; // whatever else the command line holds
    }
    if (positional.empty()) {
        *error = "no command given";
        return false;
    }
    o->command = positional[0];
    size_t first_arg = 1;
    if (o->command == "loop") {
        if (positional.size() < 2) {
            *error = "loop needs a kind: uid, tag-command, multi-read or multi-write";
            return false;
        }
        o->loop_kind = positional[1];
        first_arg = 2;
    }
    o->args.assign(positional.begin() + static_cast<long>(first_arg), positional.end());
    if (o->channel >= 0 && o->setting >= 0) {
        *error = "--channel and --setting exclude each other";
        return false;
    }
    return true;
}

namespace {

// The options each command has a use for, besides those of every command
// (--json, --real, --sim-lib, --help, --version).
struct CommandOptions {
    const char* command; // "loop uid": a loop kind
    std::vector<std::string> options;
};

const CommandOptions kCommandOptions[] = {
    {"list", {}},
    {"probe", {"--device", "--timeout"}},
    {"beep", {"--device", "--timeout"}},
    {"inventory", {"--device", "--timeout", "--buzzer"}},
    {"tag-command", {"--device", "--timeout", "--buzzer"}},
    {"read", {"--device", "--timeout", "--progress", "--no-progress"}},
    {"write", {"--device", "--timeout", "--progress", "--no-progress"}},
    {"multi-read", {"--device", "--timeout", "--buzzer"}},
    {"multi-write", {"--device", "--timeout", "--buzzer", "--file"}},
    {"sensor", {"--device", "--timeout", "--channel", "--setting"}},
    {"loop uid", {"--device", "--timeout", "--buzzer", "--for", "--churn", "--sim-unplug"}},
    {"loop tag-command", {"--device", "--timeout", "--buzzer", "--for", "--churn", "--sim-unplug"}},
    {"loop multi-read", {"--device", "--timeout", "--buzzer", "--for", "--churn", "--sim-unplug"}},
    {"loop multi-write",
     {"--device", "--timeout", "--buzzer", "--for", "--churn", "--sim-unplug", "--file"}},
};

const std::vector<std::string> kEveryCommand = {"--json", "--real", "--sim-lib", "--help",
                                                "--version"};
const std::vector<std::string> kSimulatorOnly = {"--sim-lib", "--churn", "--sim-unplug"};

bool Has(const std::vector<std::string>& list, const std::string& name) {
    return std::find(list.begin(), list.end(), name) != list.end();
}

} // namespace

bool CheckOptionsApply(const Options& options, std::string* error) {
    std::string command = options.command;
    if (command == "loop") {
        command += " " + options.loop_kind;
    }
    const CommandOptions* entry = nullptr;
    for (const CommandOptions& candidate : kCommandOptions) {
        if (command == candidate.command) {
            entry = &candidate;
        }
    }
    if (entry == nullptr) {
        return true; // an unknown command is reported as such
    }
    for (const std::string& name : options.given) {
        if (!Has(kEveryCommand, name) && !Has(entry->options, name)) {
            *error = "option " + name + " does not apply to " + command;
            return false;
        }
        if (options.real && Has(kSimulatorOnly, name)) {
            *error = "option " + name + " is for the simulated reader, not with --real";
            return false;
        }
    }
    return true;
}

void PrintUsage(std::FILE* stream) {
    std::fputs(kUsage, stream);
}

} // namespace kqtool
