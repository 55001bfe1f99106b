#include "field/field.h"

#include <algorithm>

namespace kqd {

namespace {

std::string Upper(std::string s) {
    for (char& c : s) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return s;
}

} // namespace

FieldStep next_field(const FieldState& previous, const std::vector<std::string>& inventory,
                     int64_t now_ms, const FieldSettings& settings) {
    const int debounce = std::max(1, settings.debounce);
    std::vector<std::string> seen;
    seen.reserve(inventory.size());
    for (const auto& raw : inventory) {
        std::string uid = Upper(raw);
        if (!uid.empty() && std::find(seen.begin(), seen.end(), uid) == seen.end()) {
            seen.push_back(uid);
        }
    }
    FieldStep step;
    for (const auto& entry : previous.tags) {
        bool present = std::find(seen.begin(), seen.end(), entry.uid) != seen.end();
        FieldEntry next = entry;
        next.missed = present ? 0 : entry.missed + 1;
        if (next.missed >= debounce) {
            step.changes.push_back({false, entry.uid});
        } else {
            step.state.tags.push_back(next);
        }
    }
    for (const auto& uid : seen) {
        bool known = std::any_of(previous.tags.begin(), previous.tags.end(),
                                 [&](const FieldEntry& e) { return e.uid == uid; });
        if (!known) {
            step.state.tags.push_back({uid, now_ms, 0});
            step.changes.push_back({true, uid});
        }
    }
    return step;
}

FieldStep clear_field(const FieldState& previous) {
    FieldStep step;
    for (const auto& entry : previous.tags) {
        step.changes.push_back({false, entry.uid});
    }
    return step;
}

} // namespace kqd
