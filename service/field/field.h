// A reader's field: which tags are present since when, and the step that
// turns one inventory into the next field and its arrived/left events. Pure:
// no clock, no I/O, no library, so debounce, four-tag fields and clock
// jumps are tested without a reader.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kqd {

struct FieldSettings {
    /// A tag leaves after it was missing from this many consecutive
    /// inventories (>= 1; 1 = no debounce). Default 3: see docs/kqd.md.
    int debounce = 3;
};

struct FieldEntry {
    std::string uid;
    int64_t since_ms = 0; ///< when it arrived
    int missed = 0;       ///< consecutive inventories it was missing from
};

/// Present tags in order of arrival.
struct FieldState {
    std::vector<FieldEntry> tags;
};

struct FieldChange {
    bool arrived = false; ///< true: arrived, false: left
    std::string uid;
};

struct FieldStep {
    FieldState state;
    std::vector<FieldChange> changes; ///< departures first, then arrivals in inventory order
};

/// One successful inventory (the UIDs the reader reported, in its order;
/// duplicates count once; lower case is upper-cased) at time now_ms. A tag
/// reported again has its miss count reset and keeps its arrival time, so a
/// clock that jumps changes no event; only the count of inventories decides
/// a departure.
FieldStep next_field(const FieldState& previous, const std::vector<std::string>& inventory,
                     int64_t now_ms, const FieldSettings& settings);

/// The reader went away: every present tag leaves at once (no debounce).
FieldStep clear_field(const FieldState& previous);

} // namespace kqd
