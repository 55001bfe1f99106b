// The reader's frames as text (see frames.h).
#include "protocol/frames.h"

#include <cstring>

namespace kq {

namespace {

// Where the parts of a reply stand: STX, 'R', the code, the status
// (kStatusIndex), then these.
constexpr size_t kFirstFieldIndex = 5;  // GU count, TA sub-status, RC config
constexpr size_t kSecondFieldIndex = 6; // GC comparator
constexpr size_t kPayloadIndex = 7;     // GU UIDs, TA payload
// SR: STX R SR status and 20 more characters before the chunk text.
constexpr size_t kSrHeadChars = 25;
// The shortest reply: STX, 'R', the code, the status, CR LF.
constexpr size_t kShortestReply = 7;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// STX and the code into frame (cap bytes, zeroed here).
void StartFrame(char* frame, size_t cap, const char* code) {
    std::memset(frame, 0, cap);
    const char stx[2] = {STX, '\0'};
    AppendText(frame, cap, stx);
    AppendText(frame, cap, code);
}

// The parameters and CR LF after what frame holds; returns its length.
size_t EndFrame(char* frame, size_t cap, std::initializer_list<const char*> params) {
    for (const char* param : params) {
        AppendText(frame, cap, param);
    }
    AppendText(frame, cap, "\r\n");
    return strnlen(frame, cap);
}

} // namespace

void AppendText(char* buf, size_t cap, const char* piece) {
    if (cap == 0) {
        return;
    }
    size_t len = strnlen(buf, cap - 1);
    while (*piece != '\0' && len < cap - 1) {
        buf[len++] = *piece++;
    }
    buf[len] = '\0';
}

void Hex2(unsigned value, char out[3]) {
    static const char kDigits[] = "0123456789ABCDEF";
    out[0] = kDigits[(value >> 4) & 0xF];
    out[1] = kDigits[value & 0xF];
    out[2] = '\0';
}

size_t BoundedLength(const char* text, size_t max) {
    return strnlen(text, max);
}

bool HoldsFramingCharacter(const char* text, size_t max) {
    for (size_t i = 0; i < max && text[i] != '\0'; ++i) {
        if (text[i] == STX || text[i] == '\r' || text[i] == '\n') {
            return true;
        }
    }
    return false;
}

bool UidIsValid(const char* uid) {
    // Exactly 16 characters and the NUL in the 17th byte: nothing shorter,
    // and nothing that runs on past the field. A UID travels inside the
    // frame, so it may not hold the characters that frame a command either.
    return BoundedLength(uid, kUidChars + 1) == kUidChars && !HoldsFramingCharacter(uid, kUidChars);
}

size_t BuildFrame(char* frame, size_t cap, const char* code,
                  std::initializer_list<const char*> params) {
    StartFrame(frame, cap, code);
    return EndFrame(frame, cap, params);
}

size_t BuildChunkFrame(char* frame, size_t cap, const char* code, unsigned start, unsigned count,
                       std::initializer_list<const char*> fields) {
    StartFrame(frame, cap, code);
    char hex[3];
    Hex2(start, hex);
    AppendText(frame, cap, hex);
    Hex2(count, hex);
    AppendText(frame, cap, hex);
    return EndFrame(frame, cap, fields);
}

long ReplyFrameEnd(const char* text, size_t len) {
    for (size_t i = 1; i < len; ++i) {
        if (text[i] == STX) {
            return static_cast<long>(i);
        }
    }
    for (size_t i = 0; i + 1 < len; ++i) {
        if (text[i] == '\r' && text[i + 1] == '\n') {
            return static_cast<long>(i + 2);
        }
    }
    return -1;
}

char ReplyStatus(const char* reply) {
    return reply[kStatusIndex];
}

int StatusToCode(char status) {
    if (status >= '1' && status <= '9') {
        return status - '0';
    }
    if (status >= 'A' && status <= 'F') {
        return status - 'A' + 10;
    }
    if (status >= 'a' && status <= 'f') {
        return status - 'a' + 10;
    }
    // Nothing at the status position, or a garbled character: either way the
    // reply cannot be trusted, and success must not be reported for it.
    return KQ_ERR_NOREPLY;
}

int ReplyResult(const char* reply) {
    return ReplyStatus(reply) == kStatusOk ? KQ_OK : StatusToCode(ReplyStatus(reply));
}

bool IsSuccessReplyOf(const char* text, size_t length, const char* code) {
    return length >= kShortestReply && text[0] == STX && text[1] == 'R' && text[2] == code[0] &&
           text[3] == code[1] && text[kStatusIndex] == kStatusOk && text[length - 2] == '\r' &&
           text[length - 1] == '\n';
}

bool GuReplyCount(const char* reply, unsigned* count) {
    const char* digits = reply + kFirstFieldIndex;
    if (!IsDigit(digits[0]) || !IsDigit(digits[1])) {
        return false;
    }
    *count = static_cast<unsigned>(digits[0] - '0') * 10 + static_cast<unsigned>(digits[1] - '0');
    return true;
}

void GuReplyUid(const char* reply, unsigned i, char* uid) {
    const char* field = reply + kPayloadIndex + kUidChars * i;
    std::memcpy(uid, field, strnlen(field, kUidChars));
}

bool GuReportCount(const char* text, size_t length, unsigned* count) {
    unsigned n = 0;
    if (!IsSuccessReplyOf(text, length, "GU") || length < kGuReplyOverhead ||
        !GuReplyCount(text, &n) || length != kGuReplyOverhead + kUidChars * n) {
        return false;
    }
    *count = n;
    return true;
}

int ReadTaReply(const char* reply, size_t length, KQ_OUT_TA* out) {
    const char* sub_status = reply + kFirstFieldIndex;
    if (sub_status[0] != '0' || sub_status[1] != '0') {
        (*out)[0] = sub_status[0];
        (*out)[1] = sub_status[1];
        return KQ_ERR_TAG;
    }
    if (length < kTaReplyOverhead) {
        // Cut short before its closing CR LF: the payload is unknown.
        return KQ_ERR_NOREPLY;
    }
    std::memcpy(*out, reply + kPayloadIndex, length - kTaReplyOverhead);
    return KQ_OK;
}

size_t SrReplyChunk(const char* reply, size_t length, const char** text) {
    size_t n = length > kSrHeadChars + 2 ? length - kSrHeadChars - 2 : 0;
    if (n > kChunkTextMax) {
        n = kChunkTextMax;
    }
    *text = reply + kSrHeadChars;
    return n;
}

void RcReplyConfig(const char* reply, char config[kConfigChars]) {
    std::memcpy(config, reply + kFirstFieldIndex, kConfigChars);
}

unsigned char GcReplyComparator(const char* reply) {
    return reply[kSecondFieldIndex] == '1' ? 1 : 0;
}

} // namespace kq
