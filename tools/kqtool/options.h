// Command line of kqtool: global options (allowed anywhere), the command and
// its arguments.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace kqtool {

struct Options {
    std::string command;           // list, probe, beep, inventory, ..., loop
    std::string loop_kind;         // for loop: uid, tag-command, multi-read, multi-write
    std::vector<std::string> args; // the command's (or loop kind's) arguments

    bool json = false;
    bool real = false;
    bool help = false;
    bool version = false;
    std::string device;         // --device SERIAL|/dev/PATH
    std::string sim_lib;        // --sim-lib PATH
    std::string file;           // --file FILE (multi-write targets)
    int buzzer = -1;            // --buzzer N: beep N x 100 ms after each success; -1 = off
    unsigned timeout_ms = 1000; // --timeout MS: the device's read and write timeouts
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

// Refuses an option the command (or loop kind) has no use for, and the
// simulated reader's options with --real. The command must be known.
bool CheckOptionsApply(const Options& options, std::string* error);

// Unsigned decimal (or 0x-prefixed hexadecimal) in [min, max].
bool ParseNumber(const std::string& text, long long min, long long max, long long* value);

} // namespace kqtool
