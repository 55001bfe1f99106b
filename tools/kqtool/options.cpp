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
    "       kqtool COMMAND --help\n"
    "\n"
    "Commands:\n"
    "  list                          serial numbers of every attached reader\n"
    "  probe                         open the reader, probe it, close it\n"
    "  beep [LENGTH]                 sound the buzzer for LENGTH x 100 ms (default 1)\n"
    "  inventory                     UIDs of the tags in the field\n"
    "  wait                          wait for a tag to enter the field, print it, exit\n"
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
    "  --real             use the real readers only (KQ_D2XX as set; unset = vendor\n"
    "                     library, on Linux falling back to the kernel serial driver)\n"
    "  --simulated        use the built-in simulated reader and its demo tags\n"
    "  --reader SERIAL    the reader with this serial number, or a /dev/PATH\n"
    "                     (default: the first one; --device is the same option)\n"
    "  --sim-lib PATH     simulated reader library (default: next to kqtool)\n"
    "  --buzzer N         beep N x 100 ms after each successful operation\n"
    "  --timeout MS       the device's read and write timeouts (default 1000);\n"
    "                     wait: how long to wait for a tag (default: no limit)\n"
    "  --for SECONDS      loop mode: stop after SECONDS (default: until Ctrl-C)\n"
    "  --churn MS         simulated reader, loop mode and wait: move a tag into or\n"
    "                     out of the field every MS milliseconds (default 1000, 0 = never)\n"
    "  --sim-unplug MS    simulated reader: unplug it MS milliseconds after the start\n"
    "  --progress         show progress of long reads and writes (default: when\n"
    "                     stdout is a terminal); --no-progress never\n"
    "  --channel N        sensor: reference setting of channel N (0-2, default 0)\n"
    "  --setting HEX      sensor: explicit reference setting (01-FF)\n"
    "  --file FILE        multi-write: targets from FILE, one 'UID TEXT' per line\n"
    "  --version          kqtool's and the library's version\n"
    "  -h, --help         this text; after a command, that command's help\n"
    "\n"
    "Without --real or --simulated kqtool uses the real readers when one is\n"
    "attached, else the simulated reader (and says so on standard error).\n"
    "Numbers are decimal (\"010\" is ten) or hexadecimal after 0x (\"0x1F\"). A UID is\n"
    "16 hexadecimal digits, either case. Texts are ASCII. Options a command has no\n"
    "use for are refused. Exit status: 0 success, 1 the operation failed, 2 usage\n"
    "error (nothing reached the reader), 3 the reader was lost during loop mode or\n"
    "wait, 4 wait: no tag within --timeout, 128 + signal a read, write or wait\n"
    "stopped by that signal.\n";

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
    {"--simulated", ValueKind::None, 0, 0},
    {"--help", ValueKind::None, 0, 0},
    {"-h", ValueKind::None, 0, 0},
    {"--version", ValueKind::None, 0, 0},
    {"--progress", ValueKind::None, 0, 0},
    {"--no-progress", ValueKind::None, 0, 0},
    {"--device", ValueKind::Text, 0, 0},
    {"--reader", ValueKind::Text, 0, 0},
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
    } else if (name == "--real" || name == "--simulated") {
        TargetChoice choice = name == "--real" ? TargetChoice::Real : TargetChoice::Simulated;
        if (o->target != TargetChoice::Automatic && o->target != choice) {
            *error = "--real and --simulated exclude each other";
            return false;
        }
        o->target = choice;
    } else if (name == "--help" || name == "-h") {
        o->help = true;
    } else if (name == "--version") {
        o->version = true;
    } else if (name == "--progress") {
        o->progress = 1;
    } else if (name == "--no-progress") {
        o->progress = 0;
    } else if (name == "--device" || name == "--reader") {
        if (value.empty()) {
            *error = name + " needs a serial number or a /dev/ path";
            return false;
        }
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
            o->timeout_given = true;
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
// (--json, --real, --simulated, --sim-lib, --help, --version). --reader
// stands for --reader and --device.
struct CommandOptions {
    const char* command; // "loop uid": a loop kind
    std::vector<std::string> options;
};

const CommandOptions kCommandOptions[] = {
    {"list", {}},
    {"probe", {"--reader", "--timeout"}},
    {"beep", {"--reader", "--timeout"}},
    {"inventory", {"--reader", "--timeout", "--buzzer"}},
    {"wait", {"--reader", "--timeout", "--buzzer", "--churn", "--sim-unplug"}},
    {"tag-command", {"--reader", "--timeout", "--buzzer"}},
    {"read", {"--reader", "--timeout", "--progress", "--no-progress"}},
    {"write", {"--reader", "--timeout", "--progress", "--no-progress"}},
    {"multi-read", {"--reader", "--timeout", "--buzzer"}},
    {"multi-write", {"--reader", "--timeout", "--buzzer", "--file"}},
    {"sensor", {"--reader", "--timeout", "--channel", "--setting"}},
    {"loop uid", {"--reader", "--timeout", "--buzzer", "--for", "--churn", "--sim-unplug"}},
    {"loop tag-command", {"--reader", "--timeout", "--buzzer", "--for", "--churn", "--sim-unplug"}},
    {"loop multi-read", {"--reader", "--timeout", "--buzzer", "--for", "--churn", "--sim-unplug"}},
    {"loop multi-write",
     {"--reader", "--timeout", "--buzzer", "--for", "--churn", "--sim-unplug", "--file"}},
};

const std::vector<std::string> kEveryCommand = {"--json",    "--real", "--simulated",
                                                "--sim-lib", "--help", "--version"};
const std::vector<std::string> kSimulatorOnly = {"--sim-lib", "--churn", "--sim-unplug"};

bool Has(const std::vector<std::string>& list, const std::string& name) {
    return std::find(list.begin(), list.end(), name) != list.end();
}

const CommandOptions* FindCommandOptions(const std::string& command) {
    for (const CommandOptions& candidate : kCommandOptions) {
        if (command == candidate.command) {
            return &candidate;
        }
    }
    return nullptr;
}

// ---- Per-command help -------------------------------------------------------

struct CommandHelp {
    const char* command;
    const char* synopsis;
    const char* text; // what it does, its arguments, its output
};

const CommandHelp kCommandHelp[] = {
    {"list", "kqtool list",
     "Prints the serial number of every attached reader, one a line, in the\n"
     "driver's order (the first is the one the other commands use unless\n"
     "--reader names another). --json: {\"readers\":[{\"index\":0,\"serial\":...},...]}.\n"
     "Exit status 1 when no reader is attached.\n"},
    {"probe", "kqtool probe",
     "Opens the reader, asks the driver whether it still answers\n"
     "(KQ_CheckStatusUSB) and closes it again.\n"},
    {"beep", "kqtool beep [LENGTH]",
     "Sounds the reader's buzzer for LENGTH x 100 ms (0-255, default 1).\n"},
    {"inventory", "kqtool inventory",
     "Prints the UIDs of the tags in the field (the reader reports up to four).\n"},
    {"wait", "kqtool wait [--timeout MS]",
     "Waits until at least one tag is in the field, prints the UIDs of the tags\n"
     "in the field then (one a line), and exits. --timeout MS: give up after MS\n"
     "milliseconds (default: wait until Ctrl-C); the device's own timeouts stay\n"
     "1000 ms. The simulated reader starts with an empty field and moves a tag\n"
     "in every --churn MS (default 1000).\n"
     "Exit status: 0 a tag arrived, 1 the reader failed, 3 the reader was lost,\n"
     "4 no tag within --timeout, 128 + signal stopped by that signal.\n"},
    {"tag-command", "kqtool tag-command TEXT",
     "Sends TEXT (1-35 ASCII characters) to the tag in the field and prints its\n"
     "answer.\n"},
    {"read", "kqtool read UID START COUNT",
     "Reads COUNT blocks (1-255) from block START (0-255) of the tag UID and\n"
     "prints them; the run may not pass block 255. Runs of more than 16 blocks\n"
     "are read 16 at a time, with progress on standard error.\n"},
    {"write", "kqtool write UID START COUNT TEXT",
     "Writes TEXT (ASCII, at most 2048 characters) into COUNT blocks (1-255) from\n"
     "block START of the tag UID, then reads it back to verify it. TEXT must\n"
     "fill the blocks exactly: 4 or 8 characters a block, as the tag has them.\n"},
    {"multi-read", "kqtool multi-read START COUNT",
     "Reads the same COUNT blocks (1-255) from block START of every tag in the\n"
     "field.\n"},
    {"multi-write", "kqtool multi-write START COUNT (UID=TEXT ... | --file FILE)",
     "Writes each listed tag (at most four, each UID once) that is in the\n"
     "field: TEXT into COUNT blocks from block START. --file FILE takes the\n"
     "targets from FILE instead, one 'UID TEXT' a line ('#' starts a comment).\n"},
    {"sensor", "kqtool sensor UID [--channel N | --setting HEX]",
     "One 8-bit measurement of a sensor tag, with the reference setting of\n"
     "channel N (0-2, default 0) or an explicit setting (01-FF).\n"},
    {"loop",
     "kqtool loop (uid | tag-command TEXT | multi-read START COUNT |\n"
     "                   multi-write START COUNT (UID=TEXT ... | --file FILE))",
     "Runs one of the library's loop modes and prints every notification as it\n"
     "arrives, until Ctrl-C, SIGTERM or --for SECONDS; then stops the loop and\n"
     "prints the loop end. uid: the tags in the field as they change;\n"
     "tag-command: repeats TEXT until a tag answers; multi-read / multi-write:\n"
     "reads / writes every tag that enters the field. --json events: start,\n"
     "data, loop_end, device_lost.\n"
     "Exit status: 0 the loop ended, 1 it could not start, 3 the reader was lost.\n"},
};

struct OptionHelp {
    const char* name;
    const char* text;
};

const OptionHelp kOptionHelp[] = {
    {"--reader", "--reader SERIAL    the reader with this serial number, or a /dev/PATH\n"},
    {"--timeout", "--timeout MS       the device's read and write timeouts (default 1000)\n"},
    {"--buzzer", "--buzzer N         beep N x 100 ms after each successful operation\n"},
    {"--for", "--for SECONDS      stop the loop after SECONDS (default: until Ctrl-C)\n"},
    {"--churn", "--churn MS         simulated reader: move a tag into or out of the field\n"
                "                     every MS milliseconds (default 1000, 0 = never)\n"},
    {"--sim-unplug", "--sim-unplug MS    simulated reader: unplug it MS milliseconds after "
                     "the start\n"},
    {"--progress", "--progress         show progress on standard error (default: when\n"
                   "                     stdout is a terminal)\n"},
    {"--no-progress", "--no-progress      never show progress\n"},
    {"--channel", "--channel N        reference setting of channel N (0-2, default 0)\n"},
    {"--setting", "--setting HEX      explicit reference setting (01-FF)\n"},
    {"--file", "--file FILE        targets from FILE, one 'UID TEXT' per line\n"},
};

void PrintOptionHelp(const std::string& name, std::FILE* stream) {
    for (const OptionHelp& option : kOptionHelp) {
        if (name == option.name) {
            std::fprintf(stream, "  %s", option.text);
        }
    }
}

} // namespace

bool PrintCommandHelp(const std::string& command, std::FILE* stream) {
    const CommandHelp* help = nullptr;
    for (const CommandHelp& candidate : kCommandHelp) {
        if (command == candidate.command) {
            help = &candidate;
        }
    }
    if (help == nullptr) {
        return false;
    }
    std::fprintf(stream, "usage: %s\n\n%s", help->synopsis, help->text);
    // The options it takes: those of the command (for loop, of every kind).
    std::vector<std::string> names;
    for (const CommandOptions& entry : kCommandOptions) {
        std::string name = entry.command;
        if (name == command || name.rfind(command + " ", 0) == 0) {
            for (const std::string& option : entry.options) {
                if (!Has(names, option)) {
                    names.push_back(option);
                }
            }
        }
    }
    std::fputs("\nOptions:\n", stream);
    for (const std::string& name : names) {
        if (command == "wait" && name == "--timeout") {
            std::fputs("  --timeout MS       give up after MS milliseconds (default: no limit)\n",
                       stream);
        } else {
            PrintOptionHelp(name, stream);
        }
    }
    std::fputs("  --json             the result as one JSON object\n"
               "  --real, --simulated  the real readers only / the simulated reader\n"
               "                     (default: real when one is attached)\n",
               stream);
    if (command != "list" && command != "probe" && command != "beep" && command != "inventory" &&
        command != "wait") {
        std::fputs("\nUIDs: 16 hexadecimal digits, either case. Numbers: decimal, or\n"
                   "hexadecimal after 0x. Texts: ASCII, without STX, CR or LF.\n",
                   stream);
    }
    return true;
}

bool WantsSimulator(const Options& options) {
    for (const std::string& name : options.given) {
        if (Has(kSimulatorOnly, name)) {
            return true;
        }
    }
    return false;
}

bool CheckOptionsApply(const Options& options, std::string* error) {
    std::string command = options.command;
    if (command == "loop") {
        command += " " + options.loop_kind;
    }
    const bool dev_path = options.device.rfind("/dev/", 0) == 0;
    if (dev_path && (options.target == TargetChoice::Simulated || WantsSimulator(options))) {
        *error = "a /dev/ path names a real reader, not the simulated one";
        return false;
    }
    const CommandOptions* entry = FindCommandOptions(command);
    if (entry == nullptr) {
        return true; // an unknown command is reported as such
    }
    for (const std::string& name : options.given) {
        const std::string key = name == "--device" ? "--reader" : name;
        if (!Has(kEveryCommand, key) && !Has(entry->options, key)) {
            *error = "option " + name + " does not apply to " + command;
            return false;
        }
        if (options.target == TargetChoice::Real && Has(kSimulatorOnly, name)) {
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
