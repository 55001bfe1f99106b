// What a simulated reader starts with and what happens to its field over
// time: tags (in the field or not), their memory, sensor tags, tags that
// enter and leave on a schedule or keep churning, and the reader's timing.
// Given on the kqsim command line or in a small scenario file; a scenario
// file for the simulated reader library (KQSIM_SCENARIO) may describe
// several readers, each with its own part.
#pragma once

#include "reader.h"

#include <optional>
#include <utility>
#include <string>
#include <vector>

namespace kqsim {

struct TagEntry {
    std::string uid;
    unsigned block_size = 4;
    unsigned block_count = 64;
    bool in_field = true;
};

struct SensorEntry {
    std::string uid;
    unsigned threshold = 0;
    std::string config;
};

struct DataEntry {
    std::string uid;
    unsigned start_block = 0;
    std::string text;
};

struct FieldEvent {
    unsigned at_ms = 0; // after the start
    bool enter = true;
    std::string uid;
};

// A reply the reader gets wrong on purpose: a forced status character, or
// no reply at all (status 0), for the next `times` commands (-1 = every one).
struct ReplyFault {
    std::string code;
    char status = 0;
    int times = -1;
};

// The reader is unplugged (plugged = false) or plugged back in at_ms after
// the start.
struct PlugEvent {
    unsigned at_ms = 0;
    bool plugged = false;
};

constexpr const char* kDefaultReaderSerial = "KQSIM0001";
// Longest serial number a reader part may give (an FTDI chip's serial number
// has up to 16 characters); letters, digits, '-' and '_'.
constexpr size_t kMaxSerialLength = 16;

// One reader's part of a scenario.
struct ReaderSetup {
    std::string serial = kDefaultReaderSerial;
    std::vector<TagEntry> tags;
    std::vector<SensorEntry> sensors;
    std::vector<DataEntry> data;
    std::vector<FieldEvent> events;
    std::vector<std::pair<std::string, unsigned>> processing_ms; // command code, ms
    std::vector<ReplyFault> faults;
    unsigned churn_ms = 0; // every churn_ms the scenario's tags all leave, then all re-enter
    unsigned latency_ms = 0;
    std::optional<unsigned> loop_interval_ms;
    bool realistic = true;
    bool quiet = false;
    unsigned vanish_after_ms = 0;  // 0 = never
    bool attached_at_start = true; // false after `plug MS`
    std::vector<PlugEvent> plugs;  // in file order
};

// The default reader's part (the directives before the first `reader` line,
// and those under `reader KQSIM0001`), then the part of every other reader
// in the order the file first names them.
struct Scenario : ReaderSetup {
    std::vector<ReaderSetup> readers;
    // False when the file starts with a `reader` line for another serial
    // number and never names the default reader: its readers are then
    // exactly the ones it names.
    bool default_reader = true;
    bool quiet = false;
    bool help = false;
};

// Parses the kqsim options (without the program name). --scenario FILE reads
// that file in place; kqsim serves one reader, so a file with `reader`,
// `plug`, `unplug` or `replug` lines is refused. Returns false with a message
// on a bad option.
bool ParseOptions(const std::vector<std::string>& args, Scenario& sc, std::string& error);

// Parses scenario-file text: one directive a line, '#' starts a comment.
//   tag UID [BLOCK_SIZE BLOCK_COUNT] [out]
//   sensor UID THRESHOLD CONFIG
//   data UID START_BLOCK TEXT
//   enter MS UID  /  leave MS UID
//   churn MS  /  latency MS  /  interval MS  /  vanish MS
//   timing on|off
//   processing CODE MS             (reader processing time of a command)
//   status CODE CHAR [TIMES]       (force that status character)
//   drop CODE [TIMES]              (no reply)
//   reader SERIAL                  (the following lines are that reader's)
//   plug MS  /  unplug MS  /  replug MS   (the reader is attached only MS
//                                  after the start / unplugged / plugged back)
// Every reader part starts from the defaults; a serial number named again
// continues its part.
bool ParseScenarioText(const std::string& text, Scenario& sc, std::string& error);

// Sets the reader up at time now: timing, tags, memory, sensors. The
// schedule (events, churn, vanish) is left to the front end.
bool ApplyScenario(const ReaderSetup& sc, Reader& reader, Time now, std::string& error);

// Every UID the reader's part names as a tag (the set that --churn moves).
std::vector<std::string> ScenarioTags(const ReaderSetup& sc);

// Every reader part in order: the default reader's first (when the scenario
// has it), then the others.
std::vector<const ReaderSetup*> ReaderParts(const Scenario& sc);

extern const char* const kUsage;

} // namespace kqsim
