// Every export, in any order, on a record with arbitrary contents, against a
// reader that sends arbitrary bytes in arbitrary pieces.
#include "fuzz_support.h"

#include <cstdint>
#include <vector>

using namespace kqfuzz;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    BindStandIn();
    return 0;
}

namespace {

enum Op {
    kGetSerialNo,
    kOpen,
    kClose,
    kCheckStatus,
    kBuzzer,
    kLoopStop,
    kGetUid,
    kTagCommand,
    kSelectRead,
    kSelectWrite,
    kMultiRead,
    kMultiWrite,
    kSensor,
    kInitBlocks,
    kOpCount
};

void CheckResult(int r) {
    KQ_FUZZ_CHECK(IsResultCode(r));
}

// The operations that do not end a running loop worker themselves: a
// client ends it before calling them (kq.h).
bool NeedsLoopStopFirst(int op) {
    return op != kGetUid && op != kTagCommand && op != kMultiRead && op != kMultiWrite &&
           op != kLoopStop && op != kGetSerialNo && op != kCheckStatus;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    static const char kSerial[] = "FUZZ0001";
    KQ_PROPERTY prop;
    std::vector<int> ops(in.ConsumeIntegralInRange<size_t>(1, 4));
    for (int& op : ops) {
        op = in.ConsumeIntegralInRange<int>(0, kOpCount - 1);
    }
    const bool open_first = in.ConsumeBool();
    const unsigned fail_call = in.ConsumeIntegral<uint8_t>();
    FillRecord(in, &prop, kSerial);
    KQ_IN_SR sr;
    sr.StartBlock = in.ConsumeIntegral<uint8_t>();
    sr.BlockCount = in.ConsumeIntegral<uint8_t>();
    FillText(in, sr.UID, sizeof sr.UID);
    KQ_IN_SW sw;
    sw.StartBlock = in.ConsumeIntegral<uint8_t>();
    sw.BlockCount = in.ConsumeIntegral<uint8_t>();
    FillTag(in, &sw.TagInfo);
    KQ_IN_SNSR snsr;
    snsr.Channel = in.ConsumeIntegral<uint8_t>();
    snsr.Setting = in.ConsumeIntegral<uint8_t>();
    FillText(in, snsr.UID, sizeof snsr.UID);
    const int beep = in.ConsumeIntegral<int>();
    std::vector<uint8_t> script = in.ConsumeRemainingBytes<uint8_t>();
    fuzz_d2xx_load(script.data(), script.size(), fail_call);

    if (open_first) {
        CheckResult(KQ_OpenUSB(&prop));
    }
    for (int op : ops) {
        if (NeedsLoopStopFirst(op)) {
            KQ_LoopStop(&prop);
        }
        switch (op) {
        case kGetSerialNo: {
            char serial[KQ_SERIALNO_BUFFER_SIZE];
            CheckResult(KQ_GetSerialNo(serial));
            break;
        }
        case kOpen:
            CheckResult(KQ_OpenUSB(&prop));
            break;
        case kClose:
            CheckResult(KQ_CloseUSB(&prop));
            break;
        case kCheckStatus:
            KQ_CheckStatusUSB(&prop);
            break;
        case kBuzzer:
            CheckResult(KQ_BuzzerCommand(&prop, beep));
            break;
        case kLoopStop:
            KQ_FUZZ_CHECK(KQ_LoopStop(&prop) == KQ_OK);
            break;
        case kGetUid: {
            int r = KQ_GetUID(&prop);
            CheckResult(r);
            if (r == KQ_OK && prop.LoopMode != 1) {
                KQ_FUZZ_CHECK(prop.OUT_GU.Count <= 4);
            }
            break;
        }
        case kTagCommand:
            CheckResult(KQ_TagCommand(&prop));
            break;
        case kSelectRead: {
            KQ_TAGINFO tag;
            CheckResult(KQ_SelectRead(&prop, &sr, &tag));
            KQ_FUZZ_CHECK(std::memchr(tag.Data, 0, sizeof tag.Data) != nullptr);
            break;
        }
        case kSelectWrite:
            CheckResult(KQ_SelectWrite(&prop, &sw));
            break;
        case kMultiRead: {
            int r = KQ_MultiRead(&prop);
            CheckResult(r);
            if (r == KQ_OK && prop.LoopMode != 1) {
                KQ_FUZZ_CHECK(prop.OUT_MR.DoneCount <= prop.OUT_MR.TagCount);
            }
            break;
        }
        case kMultiWrite: {
            int r = KQ_MultiWrite(&prop);
            CheckResult(r);
            if (r == KQ_OK && prop.LoopMode != 1) {
                KQ_FUZZ_CHECK(prop.OUT_MW.DoneCount <= 4);
            }
            break;
        }
        case kSensor: {
            KQ_OUT_SNSR out;
            CheckResult(KQ_SensorCommand(&prop, &snsr, &out));
            break;
        }
        default:
            KQ_Init_TAGINFO(&sw.TagInfo);
            KQ_Init_IN_TA(&prop.IN_TA);
            KQ_Init_OUT_TA(&prop.OUT_TA);
            KQ_Init_IN_SR(&sr);
            KQ_Init_IN_SNSR(&snsr);
            KQ_Init_IN_SW(&sw);
            KQ_Init_OUT_GU(&prop.OUT_GU);
            KQ_Init_IN_MW(&prop.IN_MW);
            KQ_Init_OUT_MR(&prop.OUT_MR);
            KQ_Init_OUT_MW(&prop.OUT_MW);
            break;
        }
    }
    // A loop mode operation may have left a worker: end it, then close.
    KQ_FUZZ_CHECK(KQ_LoopStop(&prop) == KQ_OK);
    KQ_FUZZ_CHECK(prop.hThread == nullptr && prop.StopFlag == 1);
    if (prop.Handle != nullptr) {
        KQ_CloseUSB(&prop);
    }
    return 0;
}
