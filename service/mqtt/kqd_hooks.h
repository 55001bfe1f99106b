// Wires the broker link to kqd's event log and reader hub.
#pragma once

#include "mqtt_bridge.h"

namespace kqd {
class EventLog;
class ReaderHub;
} // namespace kqd

namespace kqd::mqtt {

// Hooks over the event log (subscription with its history) and the hub
// (readers, operations checked by ParseOp exactly as the HTTP API checks
// them). log may be empty (standard error).
BridgeHooks MakeBridgeHooks(EventLog& log, ReaderHub& hub,
                            std::function<void(int, const std::string&)> logger = {});

} // namespace kqd::mqtt
