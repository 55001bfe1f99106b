// What a simulated reader starts with and what happens to its field over
// time: tags (in the field or not), their memory, sensor tags, tags that
// enter and leave on a schedule or keep churning, and the reader's timing.
// Given on the kqsim command line or in a small scenario file.
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

struct Scenario {
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
    unsigned vanish_after_ms = 0; // 0 = never
    bool help = false;
};

// Parses the kqsim options (without the program name). --scenario FILE reads
// that file in place. Returns false with a message on a bad option.
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
bool ParseScenarioText(const std::string& text, Scenario& sc, std::string& error);

// Sets the reader up at time now: timing, tags, memory, sensors. The
// schedule (events, churn, vanish) is left to the front end.
bool ApplyScenario(const Scenario& sc, Reader& reader, Time now, std::string& error);

// Every UID the scenario names as a tag (the set that --churn moves).
std::vector<std::string> ScenarioTags(const Scenario& sc);

extern const char* const kUsage;

} // namespace kqsim
