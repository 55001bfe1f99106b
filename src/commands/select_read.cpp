// Select read: a run of blocks of one tag, read 16 blocks per SR exchange.
#include "commands/commands.h"
#include "link/link.h"

#include <cstring>

namespace kq {

namespace {

constexpr size_t kSrFrameBytes = 25;

} // namespace

int SRCommand(KQ_PROPERTY* prop, const char* uid, unsigned start, unsigned count, char* dest) {
    // The frame is always 25 bytes: a UID of any other length would leave it
    // short and send whatever follows the text.
    if (!UidIsValid(uid) || start > 0xFF || count == 0 || count > kChunkBlocks) {
        return KQ_ERR_PARAM;
    }
    char frame[kSrFrameBytes + 1];
    size_t bytes = BuildChunkFrame(frame, sizeof frame, "SR", start, count, {uid});
    char reply[kSrReplyCapacity];
    DWORD length = 0;
    int r = Exchange(prop, frame, bytes, kProcessingWaitMs, reply, sizeof reply, &length);
    if (r != KQ_OK) {
        return r;
    }
    const char* text = nullptr;
    size_t n = SrReplyChunk(reply, length, &text);
    std::memcpy(dest, text, n);
    return KQ_OK;
}

} // namespace kq

using namespace kq;

extern "C" {

KQ_EXPORT int KQ_API KQ_SelectRead(KQ_PROPERTY* prop, KQ_IN_SR* in, KQ_TAGINFO* out) {
    std::memset(out, 0, sizeof(KQ_TAGINFO));
    std::memcpy(out->UID, in->UID, BoundedLength(in->UID, kUidChars));

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
        char chunk[kTagDataMax + 1];
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
