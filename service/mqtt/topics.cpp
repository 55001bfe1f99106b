#include "topics.h"

#include <vector>

namespace kqd::mqtt {

namespace {

std::vector<std::string_view> Split(std::string_view s) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (true) {
        auto slash = s.find('/', start);
        if (slash == std::string_view::npos) {
            parts.push_back(s.substr(start));
            return parts;
        }
        parts.push_back(s.substr(start, slash - start));
        start = slash + 1;
    }
}

} // namespace

bool Topics::ParseCommand(std::string_view topic, std::string& serial, std::string& op) const {
    std::string lead = prefix + "/" + site + "/";
    if (topic.substr(0, lead.size()) != lead) {
        return false;
    }
    auto parts = Split(topic.substr(lead.size()));
    if (parts.size() != 3 || parts[1] != "cmd" || parts[0].empty() || parts[2].empty()) {
        return false;
    }
    serial = std::string(parts[0]);
    op = std::string(parts[2]);
    return true;
}

bool Topics::ResponseTopicAllowed(std::string_view topic) const {
    if (topic.empty() || topic.size() > 1024) {
        return false;
    }
    for (char c : topic) {
        if (c == '+' || c == '#' || c == '\0') {
            return false;
        }
    }
    std::string lead = prefix + "/";
    if (topic.substr(0, lead.size()) != lead) {
        return true;
    }
    auto parts = Split(topic.substr(lead.size()));
    if (parts.size() == 3 &&
        (parts[2] == "status" || parts[2] == "field" || parts[2] == "events")) {
        return false;
    }
    return true;
}

} // namespace kqd::mqtt
