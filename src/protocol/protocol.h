// The reader's protocol in numbers: frame bytes, reply geometry, the tag
// slots of an inventory, the chunks of the block commands and the waits the
// reader needs. Every command, worker and the frame exchange take them from
// here.
//
// A command frame is STX, a two-letter code, its parameters and CR LF. A
// reply frame is STX, 'R', the code, one status character ('0' = success,
// else a hexadecimal digit), the payload and CR LF.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kq {

constexpr char STX = 0x02;

// Index of the status character in a reply frame, and its value on success.
constexpr size_t kStatusIndex = 4;
constexpr char kStatusOk = '0';

// Tags one inventory reply reports at most (and the entries of every
// multi-tag block).
constexpr unsigned kTagSlots = 4;
// Characters of a UID.
constexpr size_t kUidChars = 16;
// Characters of a tag's data text (KQ_TAGINFO.Data without its NUL).
constexpr size_t kTagDataMax = 2048;
// Characters of a sensor tag's configuration (the RC reply).
constexpr size_t kConfigChars = 8;

// The loop workers store reports of at most this many tags; a report of
// four is dropped (the one-shot inventory accepts kTagSlots).
constexpr unsigned kLoopTagsMax = 3;

// SR and SW carry at most 16 blocks per exchange: at most 128 characters of
// text (16 blocks of 8 characters).
constexpr unsigned kChunkBlocks = 16;
constexpr size_t kChunkTextMax = 128;
// The reader needs this long to carry out SR or SW before it answers.
constexpr uint32_t kProcessingWaitMs = 300;

// Reply buffers of each exchange, in bytes with the NUL.
constexpr size_t kGuReplyCapacity = 128;
constexpr size_t kTaReplyCapacity = 45;
constexpr size_t kSrReplyCapacity = 256;
constexpr size_t kSwReplyCapacity = 154;
constexpr size_t kRcScReplyCapacity = 45;
constexpr size_t kGcReplyCapacity = 10;

// GU reply: STX, 'R', "GU", status, two count digits, the UIDs, CR LF.
constexpr size_t kGuReplyOverhead = 9;
// TA reply: STX, 'R', "TA", status, two sub-status characters, the payload,
// CR LF.
constexpr size_t kTaReplyOverhead = 9;
// TA command text: at most 35 characters; its frame (STX, "TA", the text,
// CR LF) fits this buffer with its NUL.
constexpr size_t kTaTextMax = 35;
constexpr size_t kTaFrameCapacity = kTaTextMax + 6;

// GU, BZ, LT and LP frames fit this buffer with their NUL.
constexpr size_t kShortFrameCapacity = 8;

// BZ, LT and LP answer with exactly 7 bytes: STX, 'R', the code, the status
// and CR LF.
constexpr size_t kShortReplyBytes = 7;

} // namespace kq
