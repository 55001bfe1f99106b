// The topics kqd publishes and listens to (docs/mqtt.md):
//   PREFIX/SITE/kqd/status          retained online / offline (offline is the last will)
//   PREFIX/SITE/SERIAL/status       retained online / offline
//   PREFIX/SITE/SERIAL/field        retained JSON: the tags present
//   PREFIX/SITE/SERIAL/events       arrived / left / online / offline / dropped, QoS 1
//   PREFIX/SITE/SERIAL/cmd/OP       operations (read, write, sensor, beep, command, multi-read)
//   PREFIX/SITE/SERIAL/reply/OP     answers for requests without an MQTT 5 response topic
#pragma once

#include <string>
#include <string_view>

namespace kqd::mqtt {

struct Topics {
    std::string prefix;
    std::string site;

    std::string Station() const { return prefix + "/" + site + "/kqd/status"; }
    std::string Base(std::string_view serial) const {
        return prefix + "/" + site + "/" + std::string(serial);
    }
    std::string Status(std::string_view serial) const { return Base(serial) + "/status"; }
    std::string Field(std::string_view serial) const { return Base(serial) + "/field"; }
    std::string Events(std::string_view serial) const { return Base(serial) + "/events"; }
    std::string Reply(std::string_view serial, std::string_view op) const {
        return Base(serial) + "/reply/" + std::string(op);
    }
    // The subscription for operations: PREFIX/SITE/+/cmd/+
    std::string CommandFilter() const { return prefix + "/" + site + "/+/cmd/+"; }

    // PREFIX/SITE/SERIAL/cmd/OP -> serial and op; false for any other topic.
    bool ParseCommand(std::string_view topic, std::string& serial, std::string& op) const;

    // A response topic a request may name: no wildcards, and none of the
    // topics stations publish their state on (PREFIX/+/+/status, field,
    // events), so a request cannot make a station forge another's state.
    bool ResponseTopicAllowed(std::string_view topic) const;
};

} // namespace kqd::mqtt
