// Each loop worker against a reader that sends arbitrary bytes in arbitrary
// pieces: started through its operation as a client does, run until the
// reader has sent everything, then stopped.
#include "fuzz_support.h"

#include "platform/platform.h"

#include <cstdint>
#include <vector>

using namespace kqfuzz;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    BindStandIn();
    return 0;
}

namespace {

// True once the worker has ended by itself (device lost, GU not sent).
bool WorkerEnded(const KQ_PROPERTY& prop) {
    uint32_t code = kq::kStillActive;
    return prop.hThread == nullptr || !kq::ThreadExitCode(prop.hThread, &code) ||
           code != kq::kStillActive;
}

void CheckUid(const char* uid) {
    // A stored UID came from one frame: never an STX inside it.
    KQ_FUZZ_CHECK(std::memchr(uid, 0x02, 16) == nullptr);
    KQ_FUZZ_CHECK(uid[16] == '\0');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    static const char kSerial[] = "FUZZ0001";
    const int kind = in.ConsumeIntegralInRange<int>(KQ_LOOP_UID, KQ_LOOP_TAGCOMMAND);
    const unsigned fail_call = in.ConsumeIntegral<uint8_t>();
    KQ_PROPERTY prop;
    FillRecord(in, &prop, kSerial);
    prop.StopFlag = 1;
    prop.LoopMode = 1;
    std::vector<uint8_t> script = in.ConsumeRemainingBytes<uint8_t>();
    fuzz_d2xx_load(script.data(), script.size(), fail_call);
    if (KQ_OpenUSB(&prop) != KQ_OK) {
        return 0;
    }

    int r = KQ_OK;
    switch (kind) {
    case KQ_LOOP_UID:
        r = KQ_GetUID(&prop);
        break;
    case KQ_LOOP_MULTIREAD:
        r = KQ_MultiRead(&prop);
        break;
    case KQ_LOOP_MULTIWRITE:
        r = KQ_MultiWrite(&prop);
        break;
    default:
        r = KQ_TagCommand(&prop);
        break;
    }
    KQ_FUZZ_CHECK(IsResultCode(r));
    // A successful tag command starts no worker; a failed preparation none
    // at all. Only a worker's result block is judged below.
    const bool started = prop.hThread != nullptr;
    KQ_FUZZ_CHECK(!started || prop.LoopKind == kind);
    // The worker takes the reader's pieces one poll at a time; sleeps are
    // instant in this build, so this wait is short.
    while (!fuzz_d2xx_exhausted() && !WorkerEnded(prop)) {
        kq::SleepMs(1);
    }
    KQ_FUZZ_CHECK(KQ_LoopStop(&prop) == KQ_OK);
    KQ_FUZZ_CHECK(prop.hThread == nullptr);

    // What the workers stored stays within their blocks and was taken from
    // whole frames.
    if (started && kind == KQ_LOOP_UID) {
        KQ_FUZZ_CHECK(prop.OUT_GU.Count <= 3);
        for (unsigned i = 0; i < prop.OUT_GU.Count; ++i) {
            CheckUid(prop.OUT_GU.TagInfo[i].UID);
        }
    }
    if (started && kind == KQ_LOOP_MULTIREAD) {
        KQ_FUZZ_CHECK(prop.OUT_MR.TagCount <= 3);
        KQ_FUZZ_CHECK(prop.OUT_MR.DoneCount <= prop.OUT_MR.TagCount);
    }
    if (started && kind == KQ_LOOP_MULTIWRITE) {
        KQ_FUZZ_CHECK(prop.OUT_MW.TagCount <= 3);
        KQ_FUZZ_CHECK(prop.OUT_MW.DoneCount <= prop.OUT_MW.TagCount);
        for (unsigned i = 0; i < prop.OUT_MW.DoneCount; ++i) {
            CheckUid(prop.OUT_MW.TagInfo[i].UID);
        }
    }
    KQ_CloseUSB(&prop);
    return 0;
}
