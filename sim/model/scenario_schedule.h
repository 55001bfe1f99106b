// The timed part of a reader's scenario (field events, churn, vanish, plug
// changes) run against one reader from a start time. The front end decides how to wait: it asks
// when the schedule is next due and calls RunDueSchedule then.
#pragma once

#include "reader.h"
#include "scenario.h"
#include "sim_time.h"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace kqsim {

struct ScenarioSchedule {
    Time start{};
    unsigned churn_ms = 0;
    std::vector<FieldEvent> events; // in time order
    size_t next_event = 0;
    std::vector<std::string> churn_tags;
    bool churned_out = false;
    std::optional<Time> next_churn;
    std::optional<Time> vanish_at;
    std::vector<PlugEvent> plugs; // in time order
    size_t next_plug = 0;
};

ScenarioSchedule StartSchedule(const ReaderSetup& sc, Time start);

// True when the reader's part has anything timed to run.
bool HasSchedule(const ReaderSetup& sc);

// The earliest time something of the schedule is due; none when nothing is.
std::optional<Time> NextScheduled(const ScenarioSchedule& sch);

// Applies to the reader the field events and churn steps due by now. Returns
// false, applying nothing, once the reader is due to vanish.
bool RunDueSchedule(ScenarioSchedule& sch, Reader& reader, Time now);

// The plug changes due by now, in order, taken off the schedule (the front
// end unplugs or plugs the reader back in). The last one decides.
std::vector<PlugEvent> TakeDuePlugs(ScenarioSchedule& sch, Time now);

} // namespace kqsim
