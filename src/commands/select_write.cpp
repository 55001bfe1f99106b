// Select write: a text into a run of blocks of one tag, 16 blocks per SW
// exchange, then read back and compared.
#include "commands/commands.h"
#include "link/link.h"

#include <cstring>

namespace kq {

namespace {

constexpr size_t kSwFrameOverhead = 25;
constexpr size_t kSwFrameMax = kSwFrameOverhead + kChunkTextMax;

} // namespace

int GetBlockSize(unsigned blocks, unsigned length, unsigned* size) {
    if (length / 4 == 0) {
        return KQ_ERR_BLOCKSIZE;
    }
    if (length / 4 == blocks) {
        *size = 4;
        return KQ_OK;
    }
    if (length / 8 == blocks) {
        *size = 8;
        return KQ_OK;
    }
    return KQ_ERR_BLOCKSIZE;
}

int SWCommand(KQ_PROPERTY* prop, const char* uid, unsigned start, unsigned count, size_t n,
              const char* text) {
    // The byte count assumes a 16-character UID and a text of exactly n
    // characters; anything else would send bytes that are not the frame.
    if (!UidIsValid(uid) || start > 0xFF || count == 0 || count > kChunkBlocks ||
        n > kChunkTextMax || BoundedLength(text, kChunkTextMax + 1) != n) {
        return KQ_ERR_PARAM;
    }
    char uid_field[kUidChars + 1];
    std::memset(uid_field, 0, sizeof uid_field);
    std::memcpy(uid_field, uid, kUidChars);
    char frame[kSwFrameMax + 1];
    // The text comes before the UID.
    size_t bytes = BuildChunkFrame(frame, sizeof frame, "SW", start, count, {text, uid_field});
    char reply[kSwReplyCapacity];
    DWORD length = 0;
    return Exchange(prop, frame, bytes, kProcessingWaitMs, reply, sizeof reply, &length);
}

} // namespace kq

using namespace kq;

extern "C" {

KQ_EXPORT int KQ_API KQ_SelectWrite(KQ_PROPERTY* prop, KQ_IN_SW* in) {
    const unsigned start = in->StartBlock;
    const unsigned blocks = in->BlockCount;
    if (blocks == 0) {
        return KQ_ERR_PARAM;
    }
    if (!UidIsValid(in->TagInfo.UID) ||
        start + kChunkBlocks * ((blocks - 1) / kChunkBlocks) > 0xFF ||
        HoldsFramingCharacter(in->TagInfo.Data, kTagDataMax)) {
        return KQ_ERR_PARAM;
    }
    const size_t length = BoundedLength(in->TagInfo.Data, sizeof in->TagInfo.Data);
    unsigned block_size = 0;
    if (GetBlockSize(blocks, static_cast<unsigned>(length), &block_size) != KQ_OK) {
        return KQ_ERR_BLOCKSIZE;
    }
    const size_t written_length = static_cast<size_t>(block_size) * blocks;
    // A text the blocks cannot hold in full is refused before the tag is
    // touched, rather than written in part and reported as a failed write.
    if (length != written_length) {
        return KQ_ERR_BLOCKSIZE;
    }

    char work[kTagDataMax + 1];
    std::memset(work, 0, sizeof work);
    std::memcpy(work, in->TagInfo.Data, written_length);

    // Every chunk goes out whatever the one before it gave; only the last
    // chunk's result is judged here, the others show in the read-back.
    int r = KQ_OK;
    for (unsigned done = 0; done < blocks; done += kChunkBlocks) {
        unsigned count = blocks - done < kChunkBlocks ? blocks - done : kChunkBlocks;
        size_t n = static_cast<size_t>(block_size) * count;
        char chunk[kTagDataMax + 1];
        std::memset(chunk, 0, sizeof chunk);
        std::memcpy(chunk, work + static_cast<size_t>(done) * block_size, n);
        r = SWCommand(prop, in->TagInfo.UID, start + done, count, n, chunk);
    }
    if (r != KQ_OK) {
        return KQ_ERR_WRITE;
    }

    KQ_IN_SR back_request;
    std::memset(&back_request, 0, sizeof back_request);
    back_request.StartBlock = in->StartBlock;
    back_request.BlockCount = in->BlockCount;
    std::memcpy(back_request.UID, in->TagInfo.UID, kUidChars);
    KQ_TAGINFO back;
    // A failed read-back delivers fewer characters and fails the comparison.
    KQ_SelectRead(prop, &back_request, &back);

    std::memset(work, 0, sizeof work);
    std::memcpy(work, back.Data, BoundedLength(back.Data, written_length));
    if (std::strcmp(in->TagInfo.Data, work) != 0) {
        return KQ_ERR_WRITE;
    }
    return KQ_OK;
}

} // extern "C"
