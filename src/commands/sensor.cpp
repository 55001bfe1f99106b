// Sensor measurement: an 8-bit value found by successive approximation with
// the tag's settable trial value (SC) and its comparator (GC).
#include "commands/commands.h"
#include "link/link.h"

#include <cstring>

namespace kq {

namespace {

constexpr size_t kShortFrameBytes = 23; // RC and GC
constexpr size_t kScFrameBytes = 27;
constexpr size_t kRcScReplyCapacity = 45;
constexpr size_t kGcReplyCapacity = 10;
constexpr size_t kConfigChars = 8;
constexpr size_t kScParamChars = 4;

// Builds STX code "DC" UID [param] CR LF into frame (zeroed here).
void BuildSensorFrame(char* frame, size_t cap, const char* code, const char* uid,
                      const char* param) {
    std::memset(frame, 0, cap);
    const char stx[2] = {STX, '\0'};
    AppendText(frame, cap, stx);
    AppendText(frame, cap, code);
    AppendText(frame, cap, "DC");
    AppendText(frame, cap, uid);
    AppendText(frame, cap, param);
    AppendText(frame, cap, "\r\n");
}

// Sends the frame and collects the reply into reply (zeroed here). Returns
// KQ_OK when the reply's status is '0', else the failure's code.
int SensorExchange(KQ_PROPERTY* prop, const char* frame, size_t bytes, char* reply,
                   size_t capacity) {
    DWORD written = 0;
    if (SendFrame(prop, frame, static_cast<DWORD>(bytes), &written) != FT_OK) {
        return KQ_ERR_SEND;
    }
    std::memset(reply, 0, capacity);
    DWORD length = 0;
    if (ReceiveFrame(prop, reply, static_cast<DWORD>(capacity), &length) != FT_OK) {
        return KQ_ERR_RECEIVE;
    }
    if (reply[4] != '0') {
        return StatusToCode(reply[4]);
    }
    return KQ_OK;
}

bool IsLineEnd(char c) {
    return c == '\0' || c == '\r' || c == '\n';
}

} // namespace

int RCCommand(KQ_PROPERTY* prop, const char* uid, char config[8]) {
    if (!UidIsValid(uid)) {
        return KQ_ERR_PARAM;
    }
    char frame[kShortFrameBytes + 1];
    BuildSensorFrame(frame, sizeof frame, "RC", uid, "");
    char reply[kRcScReplyCapacity];
    int r = SensorExchange(prop, frame, kShortFrameBytes, reply, sizeof reply);
    if (r != KQ_OK) {
        return r;
    }
    std::memcpy(config, reply + 5, kConfigChars);
    return KQ_OK;
}

int SCCommand(KQ_PROPERTY* prop, const char* uid, const char* param) {
    if (!UidIsValid(uid) || BoundedLength(param, kScParamChars + 1) != kScParamChars) {
        return KQ_ERR_PARAM;
    }
    char frame[kScFrameBytes + 1];
    BuildSensorFrame(frame, sizeof frame, "SC", uid, param);
    char reply[kRcScReplyCapacity];
    return SensorExchange(prop, frame, kScFrameBytes, reply, sizeof reply);
}

int GCCommand(KQ_PROPERTY* prop, const char* uid, unsigned char* comparator) {
    if (!UidIsValid(uid)) {
        return KQ_ERR_PARAM;
    }
    char frame[kShortFrameBytes + 1];
    BuildSensorFrame(frame, sizeof frame, "GC", uid, "");
    char reply[kGcReplyCapacity];
    int r = SensorExchange(prop, frame, kShortFrameBytes, reply, sizeof reply);
    if (r != KQ_OK) {
        return r;
    }
    *comparator = reply[6] == '1' ? 1 : 0;
    return KQ_OK;
}

} // namespace kq

using namespace kq;

extern "C" {

KQ_EXPORT int KQ_API KQ_SensorCommand(KQ_PROPERTY* prop, KQ_IN_SNSR* in, KQ_OUT_SNSR* out) {
    std::memset(out, 0, sizeof(KQ_OUT_SNSR));
    if (!UidIsValid(in->UID)) {
        return KQ_ERR_PARAM;
    }

    // The reference setting: Setting itself when given, else the chosen
    // channel's two characters of the tag's configuration.
    char reference[3] = {'\0', '\0', '\0'};
    const unsigned char setting = in->Setting;
    if (setting != 0) {
        Hex2(setting, reference);
    } else {
        char config[kConfigChars];
        std::memset(config, 0, sizeof config);
        int r = RCCommand(prop, in->UID, config);
        if (r != KQ_OK) {
            return r;
        }
        const unsigned channel = in->Channel;
        if (channel > 2) {
            return KQ_ERR_PARAM;
        }
        reference[0] = config[2 + 2 * channel];
        reference[1] = config[3 + 2 * channel];
        // A configuration cut short leaves no usable reference: sending its
        // NUL or line end in the SC frame would break the frame.
        if (IsLineEnd(reference[0]) || IsLineEnd(reference[1])) {
            return KQ_ERR_NOREPLY;
        }
    }

    static const unsigned char kWeights[8] = {128, 64, 32, 16, 8, 4, 2, 1};
    unsigned char flags[8] = {1, 0, 0, 0, 0, 0, 0, 0};
    for (unsigned step = 0; step < 8; ++step) {
        unsigned trial = 0;
        for (unsigned j = 0; j < 8; ++j) {
            trial += kWeights[j] * flags[j];
        }
        char param[kScParamChars + 1];
        Hex2(trial, param);
        param[2] = reference[0];
        param[3] = reference[1];
        param[4] = '\0';
        int r = SCCommand(prop, in->UID, param);
        if (r != KQ_OK) {
            return r;
        }
        unsigned char comparator = 0;
        r = GCCommand(prop, in->UID, &comparator);
        if (r != KQ_OK) {
            return r;
        }
        // A comparator that reads "1" drops the bit just tried.
        flags[step] = comparator == 1 ? 0 : 1;
        if (step < 7) {
            flags[step + 1] = 1;
        }
    }
    unsigned value = 0;
    for (unsigned j = 0; j < 8; ++j) {
        value += kWeights[j] * flags[j];
    }
    out->Value = static_cast<unsigned char>(value);
    return KQ_OK;
}

} // extern "C"
