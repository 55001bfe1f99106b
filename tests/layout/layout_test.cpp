// Every record's size and every field's offset and size, checked at run time
// against the layouts clients are built with: 32-bit targets have the
// reference layout byte for byte; 64-bit targets widen the four pointer and
// handle fields of KQ_PROPERTY to 8 bytes and keep everything else.
#include "kq.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Field {
    std::string name;
    size_t offset;
    size_t size;
};

bool operator==(const Field& a, const Field& b) {
    return a.name == b.name && a.offset == b.offset && a.size == b.size;
}

void PrintTo(const Field& f, std::ostream* os) {
    *os << f.name << " @" << f.offset << " +" << f.size;
}

#define KQ_FIELD(type, member)                                                                     \
    Field {                                                                                        \
#member, offsetof(type, member), sizeof(type::member)                                      \
    }

constexpr bool k32 = sizeof(void*) == 4;

// Checks that the fields, taken in offset order, cover the record without a
// gap or an overlap, so that a member added, dropped or mis-sized anywhere
// shows up even where no expected table names it.
void ExpectContiguous(const std::vector<Field>& fields, size_t record_size) {
    std::vector<Field> sorted = fields;
    std::sort(sorted.begin(), sorted.end(),
              [](const Field& a, const Field& b) { return a.offset < b.offset; });
    size_t next = 0;
    for (const Field& f : sorted) {
        EXPECT_EQ(f.offset, next) << "gap or overlap before " << f.name;
        next = f.offset + f.size;
    }
    EXPECT_EQ(next, record_size) << "fields do not end where the record ends";
}

// The blocks: the size of each and every field's offset and size, one row
// a record.
TEST(RecordLayout, EveryBlockHasItsFieldsAndSize) {
    struct Record {
        const char* name;
        size_t size;
        std::vector<Field> actual;
        std::vector<Field> expected;
    };
    const std::vector<Field> multi = {
        {"TagCount", 0, 1}, {"DoneCount", 1, 1}, {"TagInfo", 2, 8264}};
    const Record records[] = {
        {"KQ_TAGINFO",
         sizeof(KQ_TAGINFO),
         {KQ_FIELD(KQ_TAGINFO, UID), KQ_FIELD(KQ_TAGINFO, Data)},
         {{"UID", 0, 17}, {"Data", 17, 2049}}},
        {"KQ_IN_SR",
         sizeof(KQ_IN_SR),
         {KQ_FIELD(KQ_IN_SR, StartBlock), KQ_FIELD(KQ_IN_SR, BlockCount), KQ_FIELD(KQ_IN_SR, UID)},
         {{"StartBlock", 0, 1}, {"BlockCount", 1, 1}, {"UID", 2, 17}}},
        {"KQ_IN_SW",
         sizeof(KQ_IN_SW),
         {KQ_FIELD(KQ_IN_SW, StartBlock), KQ_FIELD(KQ_IN_SW, BlockCount),
          KQ_FIELD(KQ_IN_SW, TagInfo)},
         {{"StartBlock", 0, 1}, {"BlockCount", 1, 1}, {"TagInfo", 2, 2066}}},
        {"KQ_IN_SNSR",
         sizeof(KQ_IN_SNSR),
         {KQ_FIELD(KQ_IN_SNSR, Channel), KQ_FIELD(KQ_IN_SNSR, Setting), KQ_FIELD(KQ_IN_SNSR, UID)},
         {{"Channel", 0, 1}, {"Setting", 1, 1}, {"UID", 2, 17}}},
        {"KQ_OUT_SNSR",
         sizeof(KQ_OUT_SNSR),
         {KQ_FIELD(KQ_OUT_SNSR, Value), KQ_FIELD(KQ_OUT_SNSR, Reserved)},
         {{"Value", 0, 1}, {"Reserved", 1, 17}}},
        {"KQ_OUT_GU",
         sizeof(KQ_OUT_GU),
         {KQ_FIELD(KQ_OUT_GU, Count), KQ_FIELD(KQ_OUT_GU, TagInfo)},
         {{"Count", 0, 1}, {"TagInfo", 1, 8264}}},
        {"KQ_IN_MR",
         sizeof(KQ_IN_MR),
         {KQ_FIELD(KQ_IN_MR, StartBlock), KQ_FIELD(KQ_IN_MR, BlockCount)},
         {{"StartBlock", 0, 1}, {"BlockCount", 1, 1}}},
        {"KQ_IN_MW",
         sizeof(KQ_IN_MW),
         {KQ_FIELD(KQ_IN_MW, StartBlock), KQ_FIELD(KQ_IN_MW, BlockCount),
          KQ_FIELD(KQ_IN_MW, TagInfo)},
         {{"StartBlock", 0, 1}, {"BlockCount", 1, 1}, {"TagInfo", 2, 8264}}},
        {"KQ_OUT_MR",
         sizeof(KQ_OUT_MR),
         {KQ_FIELD(KQ_OUT_MR, TagCount), KQ_FIELD(KQ_OUT_MR, DoneCount),
          KQ_FIELD(KQ_OUT_MR, TagInfo)},
         multi},
        {"KQ_OUT_MW",
         sizeof(KQ_OUT_MW),
         {KQ_FIELD(KQ_OUT_MW, TagCount), KQ_FIELD(KQ_OUT_MW, DoneCount),
          KQ_FIELD(KQ_OUT_MW, TagInfo)},
         multi},
        {"KQ_NOTIFICATION",
         sizeof(KQ_NOTIFICATION),
         {KQ_FIELD(KQ_NOTIFICATION, Message), KQ_FIELD(KQ_NOTIFICATION, Zero),
          KQ_FIELD(KQ_NOTIFICATION, wParam), KQ_FIELD(KQ_NOTIFICATION, lParam)},
         {{"Message", 0, 4}, {"Zero", 4, 4}, {"wParam", 8, 8}, {"lParam", 16, 8}}},
    };
    for (const Record& r : records) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(r.actual, r.expected);
        const Field& last = r.expected.back();
        EXPECT_EQ(r.size, last.offset + last.size);
        ExpectContiguous(r.actual, r.size);
    }
    EXPECT_EQ(sizeof(KQ_TAGINFO), 2066u);
    EXPECT_EQ(sizeof(KQ_IN_TA), 36u);
    EXPECT_EQ(sizeof(KQ_OUT_TA), 36u);
    EXPECT_EQ(offsetof(KQ_IN_SW, TagInfo.Data), 19u);
    EXPECT_EQ(offsetof(KQ_OUT_GU, TagInfo[3].Data), 1u + 3u * 2066u + 17u);
}

// The four-tag blocks: a header of one or two bytes, then four KQ_TAGINFO
// entries back to back.
template <typename Block> void ExpectTagEntries(size_t first, const char* block) {
    SCOPED_TRACE(block);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(offsetof(Block, TagInfo) + i * sizeof(KQ_TAGINFO), first + i * 2066) << i;
    }
    EXPECT_EQ(sizeof(static_cast<Block*>(nullptr)->TagInfo), 4u * 2066u);
}

TEST(RecordLayout, FourTagBlocksHoldFourEntriesBackToBack) {
    ExpectTagEntries<KQ_OUT_GU>(1, "KQ_OUT_GU");
    ExpectTagEntries<KQ_OUT_MR>(2, "KQ_OUT_MR");
    ExpectTagEntries<KQ_OUT_MW>(2, "KQ_OUT_MW");
    ExpectTagEntries<KQ_IN_MW>(2, "KQ_IN_MW");
}

std::vector<Field> PropertyFields() {
    return {KQ_FIELD(KQ_PROPERTY, WriteTimeout), KQ_FIELD(KQ_PROPERTY, ReadTimeout),
            KQ_FIELD(KQ_PROPERTY, SerialNo),     KQ_FIELD(KQ_PROPERTY, Handle),
            KQ_FIELD(KQ_PROPERTY, BuzzerOn),     KQ_FIELD(KQ_PROPERTY, BuzzerTime),
            KQ_FIELD(KQ_PROPERTY, Reserved1),    KQ_FIELD(KQ_PROPERTY, LoopMode),
            KQ_FIELD(KQ_PROPERTY, StopFlag),     KQ_FIELD(KQ_PROPERTY, LoopKind),
            KQ_FIELD(KQ_PROPERTY, Reserved2),    KQ_FIELD(KQ_PROPERTY, hWnd),
            KQ_FIELD(KQ_PROPERTY, hThread),      KQ_FIELD(KQ_PROPERTY, IN_MR),
            KQ_FIELD(KQ_PROPERTY, IN_MW),        KQ_FIELD(KQ_PROPERTY, IN_TA),
            KQ_FIELD(KQ_PROPERTY, OUT_GU),       KQ_FIELD(KQ_PROPERTY, OUT_MR),
            KQ_FIELD(KQ_PROPERTY, OUT_MW),       KQ_FIELD(KQ_PROPERTY, OUT_TA)};
}

// The reference 32-bit layout, 33169 bytes.
const std::vector<Field> kProperty32 = {
    {"WriteTimeout", 0, 4}, {"ReadTimeout", 4, 4},   {"SerialNo", 8, 4},      {"Handle", 12, 4},
    {"BuzzerOn", 16, 1},    {"BuzzerTime", 17, 1},   {"Reserved1", 18, 2},    {"LoopMode", 20, 1},
    {"StopFlag", 21, 1},    {"LoopKind", 22, 1},     {"Reserved2", 23, 1},    {"hWnd", 24, 4},
    {"hThread", 28, 4},     {"IN_MR", 32, 2},        {"IN_MW", 34, 8266},     {"IN_TA", 8300, 36},
    {"OUT_GU", 8336, 8265}, {"OUT_MR", 16601, 8266}, {"OUT_MW", 24867, 8266}, {"OUT_TA", 33133, 36},
};

// The 64-bit layout, 33185 bytes: pointer and handle fields 8 bytes wide.
const std::vector<Field> kProperty64 = {
    {"WriteTimeout", 0, 4}, {"ReadTimeout", 4, 4},   {"SerialNo", 8, 8},      {"Handle", 16, 8},
    {"BuzzerOn", 24, 1},    {"BuzzerTime", 25, 1},   {"Reserved1", 26, 2},    {"LoopMode", 28, 1},
    {"StopFlag", 29, 1},    {"LoopKind", 30, 1},     {"Reserved2", 31, 1},    {"hWnd", 32, 8},
    {"hThread", 40, 8},     {"IN_MR", 48, 2},        {"IN_MW", 50, 8266},     {"IN_TA", 8316, 36},
    {"OUT_GU", 8352, 8265}, {"OUT_MR", 16617, 8266}, {"OUT_MW", 24883, 8266}, {"OUT_TA", 33149, 36},
};

TEST(RecordLayout, PropertyMatchesTheLayoutOfThisPointerWidth) {
    ASSERT_TRUE(sizeof(void*) == 4 || sizeof(void*) == 8);
    const std::vector<Field>& expected = k32 ? kProperty32 : kProperty64;
    const size_t expected_size = k32 ? 33169 : 33185;
    std::vector<Field> actual = PropertyFields();
    ASSERT_EQ(actual.size(), expected.size());
    for (size_t i = 0; i < actual.size(); ++i) {
        EXPECT_EQ(actual[i], expected[i]) << (k32 ? "32-bit" : "64-bit") << " layout";
    }
    EXPECT_EQ(sizeof(KQ_PROPERTY), expected_size);
    ExpectContiguous(actual, sizeof(KQ_PROPERTY));
}

TEST(RecordLayout, PropertyBlocksKeepTheirInnerLayout) {
    const size_t base = k32 ? 0 : 16;
    // OUT_MR starts at an odd offset: only byte packing gives these.
    EXPECT_EQ(offsetof(KQ_PROPERTY, OUT_MR.TagInfo[0].UID), base + 16603);
    EXPECT_EQ(offsetof(KQ_PROPERTY, OUT_MR.TagInfo[3].Data), base + 16603 + 3 * 2066 + 17);
    EXPECT_EQ(offsetof(KQ_PROPERTY, IN_MW.TagInfo[1].Data), base + 36 + 2066 + 17);
    EXPECT_EQ(offsetof(KQ_PROPERTY, OUT_GU.TagInfo[2].UID), base + 8337 + 2 * 2066);
    EXPECT_EQ(offsetof(KQ_PROPERTY, IN_MR.BlockCount), base + 33);
}

// Stores through the record's members land on the bytes the layout names,
// also for the members at odd offsets that need unaligned access.
TEST(RecordLayout, MemberStoresLandAtTheirOffsets) {
    std::vector<unsigned char> raw(sizeof(KQ_PROPERTY) + 1, 0);
    // An odd start address on top of the odd member offsets.
    auto* prop = reinterpret_cast<KQ_PROPERTY*>(raw.data() + 1);
    const std::vector<Field>& layout = k32 ? kProperty32 : kProperty64;
    auto offset_of = [&](const char* name) {
        for (const Field& f : layout) {
            if (f.name == name) {
                return f.offset + 1;
            }
        }
        ADD_FAILURE() << name;
        return size_t{0};
    };
    prop->ReadTimeout = 0x11223344u;
    prop->StopFlag = 0x5A;
    prop->hThread = reinterpret_cast<void*>(uintptr_t{0x7F6E5D4C});
    prop->OUT_MR.DoneCount = 0xC3;
    prop->OUT_TA[35] = 'z';

    uint32_t timeout = 0;
    std::memcpy(&timeout, &raw[offset_of("ReadTimeout")], sizeof timeout);
    EXPECT_EQ(timeout, 0x11223344u);
    EXPECT_EQ(raw[offset_of("StopFlag")], 0x5A);
    uintptr_t thread = 0;
    std::memcpy(&thread, &raw[offset_of("hThread")], sizeof thread);
    EXPECT_EQ(thread, uintptr_t{0x7F6E5D4C});
    EXPECT_EQ(raw[offset_of("OUT_MR") + 1], 0xC3);
    EXPECT_EQ(raw[offset_of("OUT_TA") + 35], 'z');
}

} // namespace
