#include "scenario_schedule.h"

#include <algorithm>

namespace kqsim {

ScenarioSchedule StartSchedule(const ReaderSetup& sc, Time start) {
    ScenarioSchedule sch;
    sch.start = start;
    sch.churn_ms = sc.churn_ms;
    sch.events = sc.events;
    std::stable_sort(sch.events.begin(), sch.events.end(),
                     [](const FieldEvent& a, const FieldEvent& b) { return a.at_ms < b.at_ms; });
    sch.churn_tags = ScenarioTags(sc);
    if (sc.churn_ms > 0) {
        sch.next_churn = start + Millis(sc.churn_ms);
    }
    if (sc.vanish_after_ms > 0) {
        sch.vanish_at = start + Millis(sc.vanish_after_ms);
    }
    sch.plugs = sc.plugs;
    std::stable_sort(sch.plugs.begin(), sch.plugs.end(),
                     [](const PlugEvent& a, const PlugEvent& b) { return a.at_ms < b.at_ms; });
    return sch;
}

bool HasSchedule(const ReaderSetup& sc) {
    return !sc.events.empty() || sc.churn_ms > 0 || sc.vanish_after_ms > 0 || !sc.plugs.empty();
}

std::optional<Time> NextScheduled(const ScenarioSchedule& sch) {
    std::optional<Time> wake = sch.next_churn;
    if (sch.next_event < sch.events.size()) {
        wake = Earliest(wake, sch.start + Millis(sch.events[sch.next_event].at_ms));
    }
    if (sch.next_plug < sch.plugs.size()) {
        wake = Earliest(wake, sch.start + Millis(sch.plugs[sch.next_plug].at_ms));
    }
    return Earliest(wake, sch.vanish_at);
}

std::vector<PlugEvent> TakeDuePlugs(ScenarioSchedule& sch, Time now) {
    std::vector<PlugEvent> due;
    while (sch.next_plug < sch.plugs.size() &&
           sch.start + Millis(sch.plugs[sch.next_plug].at_ms) <= now) {
        due.push_back(sch.plugs[sch.next_plug++]);
    }
    return due;
}

bool RunDueSchedule(ScenarioSchedule& sch, Reader& reader, Time now) {
    if (sch.vanish_at && now >= *sch.vanish_at) {
        return false;
    }
    while (sch.next_event < sch.events.size() &&
           sch.start + Millis(sch.events[sch.next_event].at_ms) <= now) {
        const FieldEvent& e = sch.events[sch.next_event++];
        if (e.enter) {
            reader.TagAdd(now, e.uid, 4, 64);
        } else {
            reader.TagRemove(now, e.uid);
        }
    }
    if (sch.next_churn && now >= *sch.next_churn) {
        sch.churned_out = !sch.churned_out;
        for (const auto& uid : sch.churn_tags) {
            if (sch.churned_out) {
                reader.TagRemove(now, uid);
            } else {
                reader.TagAdd(now, uid, 4, 64);
            }
        }
        *sch.next_churn += Millis(sch.churn_ms);
    }
    return true;
}

} // namespace kqsim
