// The reader's frames as text: building a command frame, checking caller
// text that goes into one, finding where a reply frame ends, and reading the
// parts of a reply. Pure functions over the bytes they are given: no driver,
// no record, no state. Every command, the frame exchange and the loop workers
// build and read their frames with these, and the positions of a reply's
// parts are known to frames.cpp alone.
//
// A command frame is STX, a two-letter code, its parameters and CR LF. A
// reply frame is STX, 'R', the code, one status character ('0' = success,
// else a hexadecimal digit), the payload and CR LF.
#pragma once

#include "kq.h"
#include "protocol/protocol.h"

#include <cstddef>
#include <initializer_list>

namespace kq {

// ---- Text into frames --------------------------------------------------------

// Bounded append of a NUL-terminated piece into a zeroed buffer of capacity
// cap (the text never exceeds cap - 1).
void AppendText(char* buf, size_t cap, const char* piece);

// "%02X" of the low 8 bits of value.
void Hex2(unsigned value, char out[3]);

// Length of text in a field of at most max bytes (no NUL needed).
size_t BoundedLength(const char* text, size_t max);

// True when the text (up to its NUL, at most max characters) holds STX, CR
// or LF: sent as it is, it would end the frame early or start another one.
bool HoldsFramingCharacter(const char* text, size_t max);

// True when a UID field holds exactly 16 characters followed by a NUL, none
// of them a framing character.
bool UidIsValid(const char* uid);

// STX, code, the parameters in order and CR LF, into frame (cap bytes,
// zeroed here; the text never exceeds cap - 1). Returns the frame's length.
size_t BuildFrame(char* frame, size_t cap, const char* code,
                  std::initializer_list<const char*> params);

// SR and SW: as BuildFrame, with the first block and the block count (low 8
// bits of each, two hexadecimal digits) before the fields.
size_t BuildChunkFrame(char* frame, size_t cap, const char* code, unsigned start, unsigned count,
                       std::initializer_list<const char*> fields);

// ---- Where a reply ends --------------------------------------------------------

// Length of the reply frame at the start of text[0..len): up to an STX at
// index 1 or later (the start of the next frame), else up to and including
// the first CR LF. -1 while neither has arrived.
long ReplyFrameEnd(const char* text, size_t len);

// ---- Reading a reply ------------------------------------------------------------

// The reply's status character (NUL when the reply is empty or cut short
// before it).
char ReplyStatus(const char* reply);

// Reply status character (not '0') to a result code. NUL and any character
// that is not a hexadecimal digit give KQ_ERR_NOREPLY.
int StatusToCode(char status);

// KQ_OK when the reply's status is '0', else StatusToCode of it.
int ReplyResult(const char* reply);

// True when text[0..length) is a success reply of the command code: STX,
// 'R', the two letters, status '0', and CR LF as its last two characters.
bool IsSuccessReplyOf(const char* text, size_t length, const char* code);

// GU: the reply's tag count (false unless the two characters after the
// status are decimal digits), and UID i of the reply copied into a cleared
// 17-byte field (at most 16 characters, stopping at the end of the reply
// text).
bool GuReplyCount(const char* reply, unsigned* count);
void GuReplyUid(const char* reply, unsigned i, char* uid);

// True when text[0..length) is a well-formed successful GU report: a success
// reply of GU whose tag count matches its length, 16 characters per UID. The
// count goes to *count.
bool GuReportCount(const char* text, size_t length, unsigned* count);

// TA, a reply whose status is '0' (length characters): a sub-status other
// than "00" goes into (*out)[0..1] and gives KQ_ERR_TAG; a reply cut short
// before its closing CR LF gives KQ_ERR_NOREPLY and leaves *out as it is;
// else the payload is copied to the start of *out (nothing else of *out is
// touched) and the result is KQ_OK.
int ReadTaReply(const char* reply, size_t length, KQ_OUT_TA* out);

// SR: the chunk text of a reply of length characters, which stands between
// its 25-character head and the closing CR LF, at most kChunkTextMax
// characters. *text points into reply; returns its length (0 for a reply
// too short to carry any).
size_t SrReplyChunk(const char* reply, size_t length, const char** text);

// RC: the tag's 8-character configuration, copied from the reply.
void RcReplyConfig(const char* reply, char config[kConfigChars]);

// GC: 1 when the comparator reads "1", else 0.
unsigned char GcReplyComparator(const char* reply);

} // namespace kq
