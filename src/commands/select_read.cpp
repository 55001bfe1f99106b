// Select read: a run of blocks of one tag, read 16 blocks per SR exchange.
#include "commands/commands.h"
#include "link/link.h"
#include "platform/platform.h"

#include <cstring>

namespace kq {

namespace {

constexpr unsigned kChunkBlocks = 16;
constexpr size_t kSrFrameBytes = 25;
constexpr size_t kSrReplyCapacity = 256;
constexpr size_t kSrHeadChars = 25;   // STX R SR status and 20 more characters
constexpr size_t kChunkTextMax = 128; // 16 blocks of 8 characters
constexpr uint32_t kProcessingWaitMs = 300;

} // namespace

int SRCommand(KQ_PROPERTY* prop, const char* uid, unsigned start, unsigned count, char* dest) {
    // The frame is always 25 bytes: a UID of any other length would leave it
    // short and send whatever follows the text.
    if (!UidIsValid(uid) || start > 0xFF || count == 0 || count > kChunkBlocks) {
        return KQ_ERR_PARAM;
    }
    char frame[kSrFrameBytes + 1];
    std::memset(frame, 0, sizeof frame);
    const char stx[2] = {STX, '\0'};
    char hex[3];
    AppendText(frame, sizeof frame, stx);
    AppendText(frame, sizeof frame, "SR");
    Hex2(start, hex);
    AppendText(frame, sizeof frame, hex);
    Hex2(count, hex);
    AppendText(frame, sizeof frame, hex);
    AppendText(frame, sizeof frame, uid);
    AppendText(frame, sizeof frame, "\r\n");

    DWORD written = 0;
    if (SendFrame(prop, frame, static_cast<DWORD>(kSrFrameBytes), &written) != FT_OK) {
        return KQ_ERR_SEND;
    }
    // The reader needs its processing time before it answers SR.
    SleepMs(kProcessingWaitMs);

    char reply[kSrReplyCapacity];
    std::memset(reply, 0, sizeof reply);
    DWORD length = 0;
    if (ReceiveFrame(prop, reply, static_cast<DWORD>(sizeof reply), &length) != FT_OK) {
        return KQ_ERR_RECEIVE;
    }
    if (reply[4] != '0') {
        return StatusToCode(reply[4]);
    }
    // The chunk text stands between the 25-character head and the closing
    // CR LF.
    size_t text = length > kSrHeadChars + 2 ? length - kSrHeadChars - 2 : 0;
    if (text > kChunkTextMax) {
        text = kChunkTextMax;
    }
    std::memcpy(dest, reply + kSrHeadChars, text);
    return KQ_OK;
}

} // namespace kq

using namespace kq;

extern "C" {

KQ_EXPORT int KQ_API KQ_SelectRead(KQ_PROPERTY* prop, KQ_IN_SR* in, KQ_TAGINFO* out) {
    std::memset(out, 0, sizeof(KQ_TAGINFO));
    std::memcpy(out->UID, in->UID, BoundedLength(in->UID, 16));

    const unsigned start = in->StartBlock;
    const unsigned blocks = in->BlockCount;
    // Block numbers travel as two hexadecimal digits: every chunk must start
    // at block 255 or below.
    if (!UidIsValid(in->UID) ||
        (blocks > 0 && start + kChunkBlocks * ((blocks - 1) / kChunkBlocks) > 0xFF)) {
        return KQ_ERR_PARAM;
    }

    for (unsigned done = 0; done < blocks; done += kChunkBlocks) {
        unsigned count = blocks - done < kChunkBlocks ? blocks - done : kChunkBlocks;
        char chunk[kReceiveTextMax + 1];
        std::memset(chunk, 0, sizeof chunk);
        int r = SRCommand(prop, in->UID, start + done, count, chunk);
        if (r != KQ_OK) {
            return r;
        }
        AppendText(out->Data, sizeof out->Data, chunk);
    }
    return KQ_OK;
}

} // extern "C"
