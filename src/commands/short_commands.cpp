// The three short commands with a fixed 7-byte reply: BZ (buzzer), LT (reader
// loop on) and LP (reader loop off).
#include "commands/commands.h"

#include "link/handle.h"
#include "link/link.h"
#include "platform/platform.h"

#include <cstring>

namespace kq {

namespace {

constexpr DWORD kShortReplyBytes = 7;
// The reader answers LT and LP within a few milliseconds; a reader that stays
// silent for this many 10 ms polls (about one second) is taken as not
// answering, so no call and no loop stop can hang on it.
constexpr unsigned kShortReplyPolls = 100;

// Waits until the 7-byte reply is queued, then reads it into reply (8 bytes,
// zeroed here). KQ_ERR_RECEIVE when the queue poll fails, the reply does not
// come within the bound, or the read fails.
int ReadShortReply(KQ_PROPERTY* prop, char reply[8]) {
    const D2xxApi& ft = D2xx();
    DWORD queued = 0;
    for (unsigned poll = 1;; ++poll) {
        FT_STATUS st = ft.GetQueueStatus(LoadHandle(prop), &queued);
        if (st != FT_OK) {
            return KQ_ERR_RECEIVE;
        }
        SleepMs(10);
        if (queued >= kShortReplyBytes) {
            break;
        }
        if (poll >= kShortReplyPolls) {
            return KQ_ERR_RECEIVE;
        }
    }
    std::memset(reply, 0, 8);
    DWORD got = 0;
    if (ReadRaw(prop, reply, kShortReplyBytes, &got) != FT_OK) {
        return KQ_ERR_RECEIVE;
    }
    return KQ_OK;
}

// STX, the code, an optional parameter, CR LF, into a zeroed frame buffer.
void BuildShortFrame(char frame[8], const char* code, const char* param) {
    std::memset(frame, 0, 8);
    const char stx[2] = {STX, '\0'};
    AppendText(frame, 8, stx);
    AppendText(frame, 8, code);
    AppendText(frame, 8, param);
    AppendText(frame, 8, "\r\n");
}

} // namespace

int BZCommand(KQ_PROPERTY* prop, int length) {
    unsigned beep = static_cast<unsigned>(length) & 0xFF;
    char hex[3];
    Hex2(beep, hex);
    char frame[8];
    BuildShortFrame(frame, "BZ", hex);
    DWORD written = 0;
    if (SendFrame(prop, frame, 7, &written) != FT_OK) {
        return KQ_ERR_SEND;
    }
    // The reader answers once the beep is over. A read of 7 bytes would wait
    // as long as the device's read timeout, and 0 means no limit to the
    // driver: the 7 bytes are awaited in the queue first, within the bound
    // LT and LP use, and then only what is there is read. A reply that stays
    // short leaves the status position empty (KQ_ERR_NOREPLY).
    SleepMs(beep * 100);
    DWORD queued = 0;
    for (unsigned poll = 1;; ++poll) {
        if (D2xx().GetQueueStatus(LoadHandle(prop), &queued) != FT_OK) {
            return KQ_ERR_RECEIVE;
        }
        if (queued >= kShortReplyBytes || poll >= kShortReplyPolls) {
            break;
        }
        SleepMs(10);
    }
    char reply[45];
    std::memset(reply, 0, sizeof reply);
    DWORD want = queued < kShortReplyBytes ? queued : kShortReplyBytes;
    DWORD got = 0;
    if (want > 0 && ReadRaw(prop, reply, want, &got) != FT_OK) {
        return KQ_ERR_RECEIVE;
    }
    return reply[4] == '0' ? KQ_OK : StatusToCode(reply[4]);
}

int LTCommand(KQ_PROPERTY* prop, int flag) {
    char frame[8];
    BuildShortFrame(frame, "LT", flag == 1 ? "01" : "00");
    DWORD written = 0;
    if (SendFrame(prop, frame, 7, &written) != FT_OK) {
        return KQ_ERR_SEND;
    }
    char reply[8];
    if (ReadShortReply(prop, reply) != KQ_OK) {
        return KQ_ERR_RECEIVE;
    }
    return reply[4] == '0' ? KQ_OK : StatusToCode(reply[4]);
}

int LPCommand(KQ_PROPERTY* prop, char* status) {
    char frame[8];
    BuildShortFrame(frame, "LP", "");
    DWORD written = 0;
    if (SendFrame(prop, frame, 5, &written) != FT_OK) {
        return KQ_ERR_SEND;
    }
    char reply[8];
    if (ReadShortReply(prop, reply) != KQ_OK) {
        return KQ_ERR_RECEIVE;
    }
    *status = reply[4];
    return KQ_OK;
}

} // namespace kq

extern "C" KQ_EXPORT int KQ_API KQ_BuzzerCommand(KQ_PROPERTY* prop, int length) {
    if (kq::CheckConnection(prop) != KQ_OK) {
        return KQ_ERR_USB;
    }
    return kq::BZCommand(prop, length);
}
