// Clearing functions of the records shared with clients.
#include "kq.h"
#include "protocol/protocol.h"

#include <cstring>

namespace {

// The four tag entries every multi-tag block carries.
void ClearEntries(KQ_TAGINFO (&tags)[kq::kTagSlots]) {
    std::memset(tags, 0, sizeof tags);
}

} // namespace

extern "C" {

KQ_EXPORT int KQ_API KQ_Init_TAGINFO(KQ_TAGINFO* block) {
    std::memset(block, 0, sizeof(KQ_TAGINFO));
    return KQ_OK;
}

KQ_EXPORT int KQ_API KQ_Init_IN_TA(KQ_IN_TA* block) {
    std::memset(block, 0, sizeof(KQ_IN_TA));
    return KQ_OK;
}

KQ_EXPORT int KQ_API KQ_Init_IN_SR(KQ_IN_SR* block) {
    std::memset(block, 0, sizeof(KQ_IN_SR));
    return KQ_OK;
}

KQ_EXPORT int KQ_API KQ_Init_OUT_SNSR(KQ_OUT_SNSR* block) {
    std::memset(block, 0, sizeof(KQ_OUT_SNSR));
    return KQ_OK;
}

KQ_EXPORT int KQ_API KQ_Init_IN_SW(KQ_IN_SW* block) {
    block->StartBlock = 0;
    block->BlockCount = 0;
    return KQ_Init_TAGINFO(&block->TagInfo);
}

KQ_EXPORT int KQ_API KQ_Init_OUT_GU(KQ_OUT_GU* block) {
    block->Count = 0;
    ClearEntries(block->TagInfo);
    return KQ_OK;
}

KQ_EXPORT int KQ_API KQ_Init_IN_MW(KQ_IN_MW* block) {
    block->StartBlock = 0;
    block->BlockCount = 0;
    ClearEntries(block->TagInfo);
    return KQ_OK;
}

KQ_EXPORT int KQ_API KQ_Init_OUT_MR(KQ_OUT_MR* block) {
    block->TagCount = 0;
    block->DoneCount = 0;
    ClearEntries(block->TagInfo);
    return KQ_OK;
}

KQ_EXPORT int KQ_API KQ_Init_PROPERTY(KQ_PROPERTY* prop) {
    KQ_Init_IN_TA(&prop->IN_TA);
    KQ_Init_OUT_TA(&prop->OUT_TA);
    KQ_Init_OUT_GU(&prop->OUT_GU);
    KQ_Init_OUT_MR(&prop->OUT_MR);
    KQ_Init_IN_MW(&prop->IN_MW);
    KQ_Init_OUT_MW(&prop->OUT_MW);
    return KQ_OK;
}

} // extern "C"

// Three clearing functions are one entry point under two names: the second
// name is a symbol alias of the first. On 32-bit Windows the symbols carry
// the __stdcall argument size; kq.def exports both names there.
#if defined(_WIN32) && !defined(_WIN64)
#define KQ_ALIAS_OF(name) name "@4"
#else
#define KQ_ALIAS_OF(name) name
#endif
#pragma GCC diagnostic push
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wattribute-alias"
#pragma GCC diagnostic ignored "-Wmissing-attributes"
#endif
extern "C" {
KQ_EXPORT int KQ_API KQ_Init_OUT_TA(KQ_OUT_TA* block)
    __attribute__((alias(KQ_ALIAS_OF("KQ_Init_IN_TA"))));
KQ_EXPORT int KQ_API KQ_Init_IN_SNSR(KQ_IN_SNSR* block)
    __attribute__((alias(KQ_ALIAS_OF("KQ_Init_IN_SR"))));
KQ_EXPORT int KQ_API KQ_Init_OUT_MW(KQ_OUT_MW* block)
    __attribute__((alias(KQ_ALIAS_OF("KQ_Init_OUT_MR"))));
}
#pragma GCC diagnostic pop
#undef KQ_ALIAS_OF
