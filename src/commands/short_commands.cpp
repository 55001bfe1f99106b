// The three short commands with a fixed 7-byte reply: BZ (buzzer), LT (reader
// loop on) and LP (reader loop off).
#include "commands/commands.h"

#include "link/shared_fields.h"
#include "link/link.h"
#include "platform/platform.h"

#include <cstring>

namespace kq {

namespace {

// The reader answers LT and LP within a few milliseconds; a reader that stays
// silent for this many 10 ms polls (about one second) is taken as not
// answering, so no call and no loop stop can hang on it.
constexpr unsigned kShortReplyPolls = 100;

// The BZ reply is polled every millisecond within the same second.
constexpr unsigned kBuzzerReplyPolls = kShortReplyPolls * 10;

// Waits until the 7-byte reply is queued, then reads it into reply (8 bytes,
// zeroed here). KQ_ERR_RECEIVE when the queue poll fails, the reply does not
// come within the bound, or the read fails.
int ReadShortReply(KQ_PROPERTY* prop, char reply[kShortFrameCapacity]) {
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
    std::memset(reply, 0, kShortFrameCapacity);
    DWORD got = 0;
    if (ReadRaw(prop, reply, static_cast<DWORD>(kShortReplyBytes), &got) != FT_OK) {
        return KQ_ERR_RECEIVE;
    }
    return KQ_OK;
}

// Builds the short command's frame and sends it. KQ_OK or KQ_ERR_SEND.
int SendShortFrame(KQ_PROPERTY* prop, const char* code, const char* param) {
    char frame[kShortFrameCapacity];
    size_t bytes = BuildFrame(frame, sizeof frame, code, {param});
    DWORD written = 0;
    return SendFrame(prop, frame, static_cast<DWORD>(bytes), &written) == FT_OK ? KQ_OK
                                                                                : KQ_ERR_SEND;
}

// LT and LP: the frame out, then the 7-byte reply into reply (zeroed).
// KQ_OK, KQ_ERR_SEND or KQ_ERR_RECEIVE.
int ShortExchange(KQ_PROPERTY* prop, const char* code, const char* param,
                  char reply[kShortFrameCapacity]) {
    if (SendShortFrame(prop, code, param) != KQ_OK) {
        return KQ_ERR_SEND;
    }
    return ReadShortReply(prop, reply) == KQ_OK ? KQ_OK : KQ_ERR_RECEIVE;
}

} // namespace

int BZCommand(KQ_PROPERTY* prop, int length) {
    unsigned beep = static_cast<unsigned>(length) & 0xFF;
    char hex[3];
    Hex2(beep, hex);
    if (SendShortFrame(prop, "BZ", hex) != KQ_OK) {
        return KQ_ERR_SEND;
    }
    // The reader answers once the beep is over. A read of 7 bytes would wait
    // as long as the device's read timeout, and 0 means no limit to the
    // driver: the 7 bytes are awaited in the queue first, polled every
    // millisecond (so the reply is taken as soon as it is in) within about
    // the second LT and LP allow, and then only what is there is read. A
    // reply that stays short leaves the status position empty
    // (KQ_ERR_NOREPLY).
    SleepMs(beep * 100);
    DWORD queued = 0;
    PollBeat beat;
    PollBeatStart(&beat);
    for (unsigned poll = 1;; ++poll) {
        if (D2xx().GetQueueStatus(LoadHandle(prop), &queued) != FT_OK) {
            PollBeatEnd(&beat);
            return KQ_ERR_RECEIVE;
        }
        if (queued >= kShortReplyBytes || poll >= kBuzzerReplyPolls) {
            break;
        }
        PollBeatNext(&beat);
    }
    PollBeatEnd(&beat);
    char reply[kShortFrameCapacity];
    std::memset(reply, 0, sizeof reply);
    DWORD want = queued < kShortReplyBytes ? queued : kShortReplyBytes;
    DWORD got = 0;
    if (want > 0 && ReadRaw(prop, reply, want, &got) != FT_OK) {
        return KQ_ERR_RECEIVE;
    }
    return ReplyResult(reply);
}

int LTCommand(KQ_PROPERTY* prop, int flag) {
    char reply[kShortFrameCapacity];
    int r = ShortExchange(prop, "LT", flag == 1 ? "01" : "00", reply);
    if (r != KQ_OK) {
        return r;
    }
    return ReplyResult(reply);
}

int LPCommand(KQ_PROPERTY* prop, char* status) {
    char reply[kShortFrameCapacity];
    int r = ShortExchange(prop, "LP", "", reply);
    if (r != KQ_OK) {
        return r;
    }
    *status = ReplyStatus(reply);
    return KQ_OK;
}

} // namespace kq

extern "C" KQ_EXPORT int KQ_API KQ_BuzzerCommand(KQ_PROPERTY* prop, int length) {
    if (kq::CheckConnection(prop) != KQ_OK) {
        return KQ_ERR_USB;
    }
    return kq::BZCommand(prop, length);
}
