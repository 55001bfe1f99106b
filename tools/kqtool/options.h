// Command line of kqtool: global options (allowed anywhere), the command and
// its arguments.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace kqtool {

// Which reader kqtool talks to: --real, --simulated, or (neither) the real
// drivers when a real reader is attached, else the simulated reader.
enum class TargetChoice { Automatic, Real, Simulated };

struct Options {
    std::string command;           // list, probe, beep, inventory, wait, ..., loop
    std::string loop_kind;         // for loop: uid, tag-command, multi-read, multi-write
    std::vector<std::string> args; // the command's (or loop kind's) arguments

    bool json = false;
    TargetChoice target = TargetChoice::Automatic;
    bool help = false;
    bool version = false;
    std::string device;         // --reader / --device SERIAL|/dev/PATH
    std::string sim_lib;        // --sim-lib PATH
    std::string file;           // --file FILE (multi-write targets)
    int buzzer = -1;            // --buzzer N: beep N x 100 ms after each success; -1 = off
    unsigned timeout_ms = 1000; // --timeout MS: the device's read and write timeouts
    bool timeout_given = false; // (for wait: how long to wait for a tag)
    double for_seconds = -1;    // --for SECONDS: loop duration; < 0 = until interrupted
    int churn_ms = 1000;        // --churn MS: simulated field changes in loop mode; 0 = off
    int channel = -1;           // --channel N (sensor)
    int setting = -1;           // --setting HEX (sensor)
    int progress = -1;          // --progress 1, --no-progress 0, automatic -1
    int sim_unplug_ms = -1;     // --sim-unplug MS: unplug the simulated reader after MS

    std::vector<std::string> given; // the options on the command line, by name ("--for")
};

// Parses argv into *options. Returns false with *error set for a usage error.
bool ParseOptions(int argc, char** argv, Options* options, std::string* error);
void PrintUsage(std::FILE* stream);
// The help of one command ("read", "loop"): what it does, its arguments and
// the options it takes. False when there is no such command.
bool PrintCommandHelp(const std::string& command, std::FILE* stream);

// Refuses an option the command (or loop kind) has no use for, the
// simulated reader's options with --real, a /dev/ path with --simulated.
// The command must be known.
bool CheckOptionsApply(const Options& options, std::string* error);

// Whether an option of the simulated reader alone (--sim-lib, --churn,
// --sim-unplug) was given: it asks for the simulated reader.
bool WantsSimulator(const Options& options);

// A number in [min, max]: decimal digits ("010" is ten), or hexadecimal
// after 0x or 0X ("0xFF"). No sign, no blanks.
bool ParseNumber(const std::string& text, long long min, long long max, long long* value);

} // namespace kqtool
