// Sensor measurement: an 8-bit value found by successive approximation with
// the tag's settable trial value (SC) and its comparator (GC).
#include "commands/commands.h"
#include "link/link.h"

#include <cstring>

namespace kq {

namespace {

constexpr size_t kScFrameBytes = 27; // RC and GC frames are 4 bytes shorter
constexpr size_t kScParamChars = 4;

// The UID check, then STX, code, "DC", the UID and the parameter (if any),
// CR LF, and the exchange. KQ_ERR_PARAM for a UID that is not valid (nothing
// is sent); else KQ_OK when the reply's status is '0'.
int SensorExchange(KQ_PROPERTY* prop, const char* code, const char* uid, const char* param,
                   char* reply, size_t capacity) {
    if (!UidIsValid(uid)) {
        return KQ_ERR_PARAM;
    }
    char frame[kScFrameBytes + 1];
    size_t bytes = BuildFrame(frame, sizeof frame, code, {"DC", uid, param});
    DWORD length = 0;
    return Exchange(prop, frame, bytes, 0, reply, capacity, &length);
}

bool IsLineEnd(char c) {
    return c == '\0' || c == '\r' || c == '\n';
}

} // namespace

int RCCommand(KQ_PROPERTY* prop, const char* uid, char config[kConfigChars]) {
    char reply[kRcScReplyCapacity];
    int r = SensorExchange(prop, "RC", uid, "", reply, sizeof reply);
    if (r == KQ_OK) {
        RcReplyConfig(reply, config);
    }
    return r;
}

int SCCommand(KQ_PROPERTY* prop, const char* uid, const char* param) {
    if (BoundedLength(param, kScParamChars + 1) != kScParamChars) {
        return KQ_ERR_PARAM;
    }
    char reply[kRcScReplyCapacity];
    return SensorExchange(prop, "SC", uid, param, reply, sizeof reply);
}

int GCCommand(KQ_PROPERTY* prop, const char* uid, unsigned char* comparator) {
    char reply[kGcReplyCapacity];
    int r = SensorExchange(prop, "GC", uid, "", reply, sizeof reply);
    if (r == KQ_OK) {
        *comparator = GcReplyComparator(reply);
    }
    return r;
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
