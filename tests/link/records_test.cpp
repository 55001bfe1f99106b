// Clearing functions of the records: each clears exactly its own block, the
// property record keeps the caller's settings (as the library, built apart
// from this test, lays the record out), and the three paired names are one
// entry point of the shared library.
#include "kq.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

constexpr size_t kGuard = 64;

// Nonzero bytes that differ from their neighbours, so that a shifted or
// partial clear shows.
unsigned char PatternByte(size_t i) {
    return static_cast<unsigned char>(1 + (i * 37) % 251);
}

// A block of `size` bytes with guard bytes on both sides, all filled with
// the pattern.
struct Guarded {
    explicit Guarded(size_t size) : size_(size), bytes_(size + 2 * kGuard) {
        for (size_t i = 0; i < bytes_.size(); ++i) {
            bytes_[i] = PatternByte(i);
        }
    }
    void* Block() { return bytes_.data() + kGuard; }

    // First offset (relative to the block) in [from, to) that is not zero,
    // or to when all are zero.
    size_t FirstNonZero(size_t from, size_t to) const {
        for (size_t i = from; i < to; ++i) {
            if (bytes_[kGuard + i] != 0) {
                return i;
            }
        }
        return to;
    }
    // True when every guard byte still holds its pattern.
    bool GuardsIntact(std::string* where) const {
        for (size_t i = 0; i < kGuard; ++i) {
            if (bytes_[i] != PatternByte(i)) {
                *where = "guard byte " + std::to_string(i) + " before the block";
                return false;
            }
            size_t after = kGuard + size_ + i;
            if (bytes_[after] != PatternByte(after)) {
                *where = "guard byte " + std::to_string(i) + " after the block";
                return false;
            }
        }
        return true;
    }
    unsigned char At(size_t offset) const { return bytes_[kGuard + offset]; }
    unsigned char Original(size_t offset) const { return PatternByte(kGuard + offset); }

    size_t size_;
    std::vector<unsigned char> bytes_;
};

// One clearing function: the block it clears, the bytes at its start that
// it keeps (the caller's fields of KQ_PROPERTY), and a call through a
// pointer to the block's first byte.
struct Clearing {
    const char* name;
    size_t size;
    size_t keep;
    int (*init)(void* block);
};

template <typename Block, int(KQ_API* Init)(Block*)> int Call(void* block) {
    return Init(static_cast<Block*>(block));
}

#define KQ_CLEARING(Block, keep)                                                                   \
    { "KQ_Init_" #Block, sizeof(KQ_##Block), keep, Call<KQ_##Block, KQ_Init_##Block> }

TEST(InitRecords, EachClearsItsBlockToTheEndKeepingOnlyTheCallersFields) {
    // Settings, Handle, loop fields, hWnd, hThread and IN_MR stay; IN_MW up
    // to the last byte of OUT_TA is cleared.
    const size_t property_keep = offsetof(KQ_PROPERTY, IN_MW);
    EXPECT_EQ(property_keep, sizeof(void*) == 8 ? 50u : 34u);
    const Clearing clearings[] = {
        KQ_CLEARING(TAGINFO, 0), KQ_CLEARING(IN_TA, 0),   KQ_CLEARING(OUT_TA, 0),
        KQ_CLEARING(IN_SR, 0),   KQ_CLEARING(IN_SNSR, 0), KQ_CLEARING(OUT_SNSR, 0),
        KQ_CLEARING(IN_SW, 0),   KQ_CLEARING(OUT_GU, 0),  KQ_CLEARING(IN_MW, 0),
        KQ_CLEARING(OUT_MR, 0),  KQ_CLEARING(OUT_MW, 0),  KQ_CLEARING(PROPERTY, property_keep),
    };
    for (const Clearing& c : clearings) {
        SCOPED_TRACE(c.name);
        Guarded g(c.size);
        EXPECT_EQ(c.init(g.Block()), KQ_OK);
        for (size_t i = 0; i < c.keep; ++i) {
            ASSERT_EQ(g.At(i), g.Original(i)) << "byte " << i << " of the caller's fields changed";
        }
        EXPECT_EQ(g.FirstNonZero(c.keep, c.size), c.size) << "byte left uncleared";
        std::string where;
        EXPECT_TRUE(g.GuardsIntact(&where)) << "written outside the block: " << where;
    }
}

#undef KQ_CLEARING

// Addresses of exported names as the shared library itself resolves them.
class Exports : public ::testing::Test {
  protected:
    void SetUp() override {
#ifdef _WIN32
        module_ = GetModuleHandleA(KQ_LIBRARY_NAME);
#else
        module_ = dlopen(KQ_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD);
#endif
        ASSERT_NE(module_, nullptr) << "the test program should have the library loaded";
    }
    void TearDown() override {
#ifndef _WIN32
        if (module_ != nullptr) {
            dlclose(module_);
        }
#endif
    }
    const void* Address(const char* name) {
#ifdef _WIN32
        return reinterpret_cast<const void*>(GetProcAddress(static_cast<HMODULE>(module_), name));
#else
        return dlsym(module_, name);
#endif
    }

    void* module_ = nullptr;
};

TEST_F(Exports, PairedClearingFunctionsAreOneEntryPoint) {
    const char* pairs[][2] = {{"KQ_Init_IN_TA", "KQ_Init_OUT_TA"},
                              {"KQ_Init_IN_SR", "KQ_Init_IN_SNSR"},
                              {"KQ_Init_OUT_MR", "KQ_Init_OUT_MW"}};
    std::vector<const void*> firsts;
    for (const auto& pair : pairs) {
        const void* first = Address(pair[0]);
        const void* second = Address(pair[1]);
        ASSERT_NE(first, nullptr) << pair[0] << " is not exported";
        ASSERT_NE(second, nullptr) << pair[1] << " is not exported";
        EXPECT_EQ(first, second) << pair[0] << " and " << pair[1] << " differ";
        firsts.push_back(first);
    }
    // The three pairs are three different functions.
    EXPECT_NE(firsts[0], firsts[1]);
    EXPECT_NE(firsts[1], firsts[2]);
    EXPECT_NE(firsts[0], firsts[2]);
}

} // namespace
