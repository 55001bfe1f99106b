// The two steps every reader command shares: building its frame, and one
// exchange of that frame for a reply whose status is judged.
#include "commands/commands.h"

#include "link/link.h"
#include "platform/platform.h"

#include <cstring>

namespace kq {

size_t BuildFrame(char* frame, size_t cap, const char* code,
                  std::initializer_list<const char*> params) {
    std::memset(frame, 0, cap);
    const char stx[2] = {STX, '\0'};
    AppendText(frame, cap, stx);
    AppendText(frame, cap, code);
    for (const char* param : params) {
        AppendText(frame, cap, param);
    }
    AppendText(frame, cap, "\r\n");
    return strnlen(frame, cap);
}

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
    if (reply[kStatusIndex] != kStatusOk) {
        return StatusToCode(reply[kStatusIndex]);
    }
    return KQ_OK;
}

} // namespace kq
