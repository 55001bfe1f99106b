// The receive steps themselves, called one after the other on arbitrary
// pieces of reader text with arbitrary buffer sizes: a complete frame of
// the exchange, a loop report with its carry-over, a fixed-length read.
// Nothing is ever written past a buffer, and what they hand on is what they
// promise.
#include "fuzz_support.h"

#include "link/link.h"
#include "loop/report.h"

#include <cstdint>
#include <memory>
#include <vector>

using namespace kqfuzz;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    BindStandIn();
    return 0;
}

namespace {

void CheckReport(const char* dest, size_t capacity, size_t length) {
    if (length == 0) {
        return;
    }
    KQ_FUZZ_CHECK(length >= 3 && length < capacity);
    KQ_FUZZ_CHECK(dest[0] == 0x02 && dest[length - 2] == '\r' && dest[length - 1] == '\n');
    KQ_FUZZ_CHECK(dest[length] == '\0');
    KQ_FUZZ_CHECK(std::memchr(dest + 1, 0x02, length - 1) == nullptr);
    KQ_FUZZ_CHECK(std::memchr(dest, '\0', length) == nullptr);
    // The first CR LF is the frame's end.
    for (size_t i = 0; i + 2 < length; ++i) {
        KQ_FUZZ_CHECK(!(dest[i] == '\r' && dest[i + 1] == '\n'));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    static const char kSerial[] = "FUZZ0001";
    std::vector<uint8_t> calls = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange(1, 16));
    std::vector<uint8_t> script = in.ConsumeRemainingBytes<uint8_t>();
    fuzz_d2xx_load(script.data(), script.size(), 0);
    KQ_PROPERTY prop;
    std::memset(&prop, 0, sizeof prop);
    prop.SerialNo = kSerial;
    prop.StopFlag = 1;
    if (KQ_OpenUSB(&prop) != KQ_OK) {
        return 0;
    }
    // The carry lives on the heap here so that the sanitizer sees its ends.
    auto carry = std::make_unique<kq::ReportCarry>();
    kq::ReportCarryClear(carry.get());
    for (uint8_t call : calls) {
        // Buffer sizes from 1 to 256: exactly that many bytes, no slack.
        const size_t capacity = static_cast<size_t>(call >> 2) * 4 + 1 + (call & 3);
        std::vector<char> dest(capacity, '\0');
        kq::DWORD length = 0;
        switch (call & 3) {
        case 0: {
            kq::FT_STATUS st =
                kq::ReceiveFrame(&prop, dest.data(), static_cast<kq::DWORD>(capacity), &length);
            KQ_FUZZ_CHECK(st == kq::FT_OK);
            KQ_FUZZ_CHECK(length < capacity && dest[length] == '\0');
            KQ_FUZZ_CHECK(strnlen(dest.data(), capacity) == length);
            break;
        }
        case 1:
        case 2: {
            kq::FT_STATUS st = kq::ReceiveReport(&prop, carry.get(), dest.data(),
                                                 static_cast<kq::DWORD>(capacity), &length);
            KQ_FUZZ_CHECK(st == kq::FT_OK);
            KQ_FUZZ_CHECK(carry->used <= sizeof carry->text);
            CheckReport(dest.data(), capacity, length);
            unsigned count = 0;
            if (kq::GuReportCount(dest.data(), length, &count)) {
                KQ_FUZZ_CHECK(length == 9 + 16 * count && count <= 99);
            }
            break;
        }
        default: {
            kq::DWORD got = 0;
            kq::FT_STATUS st =
                kq::ReadRaw(&prop, dest.data(), static_cast<kq::DWORD>(capacity), &got);
            KQ_FUZZ_CHECK(st == kq::FT_OK && got <= capacity);
            break;
        }
        }
    }
    KQ_CloseUSB(&prop);
    return 0;
}
