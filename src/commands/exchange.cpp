// The exchange every reader command with a variable reply shares: its frame
// out, the reader's processing time, one reply frame in, its status judged.
#include "commands/commands.h"

#include "link/link.h"
#include "platform/platform.h"

#include <cstring>

namespace kq {

int Exchange(KQ_PROPERTY* prop, const char* frame, size_t bytes, uint32_t wait_ms, char* reply,
             size_t capacity, DWORD* length) {
    DWORD written = 0;
    if (SendFrame(prop, frame, static_cast<DWORD>(bytes), &written) != FT_OK) {
        return KQ_ERR_SEND;
    }
    if (wait_ms > 0) {
        SleepMs(wait_ms);
    }
    std::memset(reply, 0, capacity);
    *length = 0;
    if (ReceiveFrame(prop, reply, static_cast<DWORD>(capacity), length) != FT_OK) {
        return KQ_ERR_RECEIVE;
    }
    return ReplyResult(reply);
}

} // namespace kq
