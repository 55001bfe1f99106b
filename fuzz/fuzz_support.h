// What the fuzz targets share: binding the library to the D2XX stand-in,
// filling records from the fuzz input, and the checks every run makes.
#pragma once

#include "d2xx_double.h"

#include "kq.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>

namespace kqfuzz {

// The library binds its driver once per process, on first use: point it at
// the stand-in before that.
inline void BindStandIn() {
    setenv("KQ_D2XX", KQ_FUZZ_D2XX_PATH, 1);
}

// A check that must hold whatever the reader sent: a crash libFuzzer keeps.
#define KQ_FUZZ_CHECK(cond)                                                                        \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            __builtin_trap();                                                                      \
        }                                                                                          \
    } while (0)

// Every result code an operation may return (KQ_CheckStatusUSB aside).
inline bool IsResultCode(int r) {
    return (r >= 0 && r <= 22) || r == 24 || (r >= 28 && r <= 31);
}

// Fills a text field of a record: left empty, filled to its last byte with
// one character (no NUL anywhere), or taken from the input as it comes.
inline void FillText(FuzzedDataProvider& in, char* field, size_t size) {
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
        std::memset(field, 0, size);
        break;
    case 1:
        std::memset(field, in.ConsumeIntegralInRange<int>(1, 255), size);
        break;
    case 2: {
        std::memset(field, 0, size);
        auto bytes = in.ConsumeBytes<char>(in.ConsumeIntegralInRange<size_t>(0, size));
        if (!bytes.empty()) {
            std::memcpy(field, bytes.data(), bytes.size());
        }
        break;
    }
    default: {
        std::memset(field, 0, size);
        std::string text = in.ConsumeRandomLengthString(size);
        std::memcpy(field, text.data(), text.size() < size ? text.size() : size);
        break;
    }
    }
}

inline void FillTag(FuzzedDataProvider& in, KQ_TAGINFO* tag) {
    FillText(in, tag->UID, sizeof tag->UID);
    FillText(in, tag->Data, sizeof tag->Data);
}

// The record's settings, flags, counts and text blocks from the input. The
// pointers and handles are the library's or the caller's to manage and stay
// as a client sets them: SerialNo set, Handle, hThread NULL, hWnd 0.
inline void FillRecord(FuzzedDataProvider& in, KQ_PROPERTY* prop, const char* serial) {
    std::memset(prop, 0, sizeof *prop);
    prop->SerialNo = serial;
    prop->ReadTimeout = in.ConsumeIntegral<uint32_t>();
    prop->WriteTimeout = in.ConsumeIntegral<uint32_t>();
    prop->BuzzerOn = in.ConsumeIntegral<uint8_t>();
    prop->BuzzerTime = in.ConsumeIntegral<uint8_t>();
    prop->LoopMode = in.ConsumeIntegral<uint8_t>();
    prop->StopFlag = in.ConsumeIntegral<uint8_t>();
    prop->LoopKind = in.ConsumeIntegral<uint8_t>();
    prop->IN_MR.StartBlock = in.ConsumeIntegral<uint8_t>();
    prop->IN_MR.BlockCount = in.ConsumeIntegral<uint8_t>();
    prop->IN_MW.StartBlock = in.ConsumeIntegral<uint8_t>();
    prop->IN_MW.BlockCount = in.ConsumeIntegral<uint8_t>();
    for (KQ_TAGINFO& tag : prop->IN_MW.TagInfo) {
        FillTag(in, &tag);
    }
    FillText(in, prop->IN_TA, sizeof prop->IN_TA);
    // Result blocks as a client may have left them: counts out of range.
    prop->OUT_GU.Count = in.ConsumeIntegral<uint8_t>();
    prop->OUT_MR.TagCount = in.ConsumeIntegral<uint8_t>();
    prop->OUT_MR.DoneCount = in.ConsumeIntegral<uint8_t>();
    prop->OUT_MW.TagCount = in.ConsumeIntegral<uint8_t>();
    prop->OUT_MW.DoneCount = in.ConsumeIntegral<uint8_t>();
}

} // namespace kqfuzz
