// USB link and frame exchange: the connection check and the three transfer
// steps every reader command is built from.
#pragma once

#include "kq.h"
#include "link/d2xx.h"
#include "protocol/frames.h"
#include "protocol/protocol.h"

#include <cstddef>

namespace kq {

constexpr unsigned kReceivePolls = 202;  // queue polls per ReceiveFrame
constexpr size_t kReceiveTextMax = 2048; // chunk and accumulator text

// Probes the device; reopens it by serial number when the probe fails.
// Returns KQ_OK or KQ_ERR_USB.
int CheckConnection(KQ_PROPERTY* prop);

// Break on, break off, purge both buffers, write count bytes of frame.
// Returns the status of the write.
FT_STATUS SendFrame(KQ_PROPERTY* prop, const char* frame, DWORD count, DWORD* written);

// Polls the receive queue every millisecond, at most kReceivePolls times,
// until one reply frame is complete, and copies it with its NUL into dest
// (zeroed by the caller). *length receives the length of the text in dest.
// A complete frame that does not fit capacity - 1 characters is treated like
// no frame at all: dest stays untouched. Returns 0, or the nonzero status of
// a failed queue poll.
FT_STATUS ReceiveFrame(KQ_PROPERTY* prop, char* dest, DWORD capacity, DWORD* length);

// One blocking read of count bytes (bounded by the device's read timeout).
FT_STATUS ReadRaw(KQ_PROPERTY* prop, char* buf, DWORD count, DWORD* read);

} // namespace kq
