// Helpers shared by the tag-memory tests: expected frames, frame filters and
// tag set-up on the simulated reader.
#pragma once

#include "kq.h"
#include "kqsim.h"
#include "support/sim_fixture.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace kqtest {

inline const char* const kUidA = "E0040100AAAAAAA1";
inline const char* const kUidB = "E0040100BBBBBBB2";
inline const char* const kUidC = "E0040100CCCCCCC3";
inline const char* const kUidD = "E0040100DDDDDDD4";
inline const char* const kUidX = "E0040100EEEEEEE5";

inline std::string Hex(unsigned v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02X", v);
    return buf;
}

inline std::string SrFrame(unsigned start, unsigned count, const std::string& uid) {
    return Frame("SR" + Hex(start) + Hex(count) + uid);
}

inline std::string SwFrame(unsigned start, unsigned count, const std::string& text,
                           const std::string& uid) {
    return Frame("SW" + Hex(start) + Hex(count) + text + uid);
}

// The command codes of every frame written since the last log clear.
inline std::vector<std::string> Codes() {
    std::vector<std::string> out;
    for (const auto& f : Frames()) {
        out.push_back(f.size() >= 3 ? f.substr(1, 2) : Show(f));
    }
    return out;
}

// A text of n characters that differs from block to block (block size bs),
// so a misplaced chunk shows.
inline std::string Pattern(size_t n, unsigned bs, char salt = 'a') {
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s +=
            i % bs == 0 ? static_cast<char>(salt + (i / bs) % 26) : static_cast<char>('0' + i % 10);
    }
    return s;
}

inline std::string TagData(const char* uid, unsigned start, unsigned count) {
    char buf[4096];
    int n = kqsim_tag_get_data(uid, start, count, buf, sizeof buf);
    return n < 0 ? std::string("<no data>") : std::string(buf, static_cast<size_t>(n));
}

inline void SetUid(char* field, const std::string& uid) {
    std::memset(field, 0, 17);
    std::memcpy(field, uid.data(), uid.size() < 17 ? uid.size() : 17);
}

inline void SetText(char* field, const std::string& text) {
    std::memset(field, 0, 2049);
    std::memcpy(field, text.data(), text.size());
}

// Every byte of a block holds value.
template <typename Block> bool AllBytes(const Block& b, unsigned char value) {
    const auto* p = reinterpret_cast<const unsigned char*>(&b);
    for (size_t i = 0; i < sizeof b; ++i) {
        if (p[i] != value) {
            return false;
        }
    }
    return true;
}

// Frames rendered for failure messages.
inline std::string ShowAll(const std::vector<std::string>& frames) {
    std::string out;
    for (const auto& f : frames) {
        out += "\n  " + Show(f);
    }
    return out.empty() ? "\n  (none)" : out;
}

// The simulator at the reader's own pace: bytes at the wire rate, and SR and
// SW carried out in 280 ms, longer than one receive window (about 200 ms)
// and within the 300 ms the library waits before it opens one. The record
// is open. For the tests whose subject is that wait.
class ReaderPaceTest : public SimRecordTest {
  protected:
    static constexpr unsigned kSelectProcessingMs = 280;
    void SetUp() override {
        SimRecordTest::SetUp();
        kqsim_set_timing(1);
        kqsim_set_processing_ms("SR", kSelectProcessingMs);
        kqsim_set_processing_ms("SW", kSelectProcessingMs);
        Open();
    }
};

} // namespace kqtest
