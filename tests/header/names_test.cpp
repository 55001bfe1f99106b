// The names and meanings kq.h gives result codes and driver statuses. The
// list of result codes is read from the header itself, so a code added
// without a name fails here.
#include "kq.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>

namespace {

// Every "#define KQ_OK 0" / "#define KQ_ERR_x N" of the header, by name.
std::map<std::string, int> ResultCodesOfTheHeader() {
    std::string path = KQ_HEADER_PATH;
#ifdef _WIN32
    if (!path.empty() && path[0] == '/') {
        path = "Z:" + path; // the build tree's Unix path, seen through Wine's root drive
    }
#endif
    std::ifstream in(path);
    EXPECT_TRUE(in.good()) << "cannot read " << path;
    std::map<std::string, int> codes;
    std::regex define(R"(^\s*#\s*define\s+(KQ_OK|KQ_ERR_[A-Z0-9_]+)\s+(-?[0-9]+)\b)");
    std::string line;
    while (std::getline(in, line)) {
        std::smatch m;
        if (std::regex_search(line, m, define)) {
            codes[m[1]] = std::stoi(m[2]);
        }
    }
    return codes;
}

const std::string kUnknownName = KQ_ResultName(-12345);
const std::string kUnknownText = KQ_ResultText(-12345);

TEST(HeaderNames, EveryResultCodeOfTheHeaderHasItsOwnNameAndMeaning) {
    std::map<std::string, int> codes = ResultCodesOfTheHeader();
    ASSERT_TRUE(codes.count("KQ_OK") == 1 && codes.count("KQ_ERR_PARAM") == 1)
        << "the header's result codes were not found";
    std::set<std::string> texts;
    for (const auto& [name, value] : codes) {
        EXPECT_EQ(KQ_ResultName(value), name) << "code " << value;
        std::string text = KQ_ResultText(value);
        EXPECT_NE(text, kUnknownText) << name << " has no meaning";
        EXPECT_TRUE(texts.insert(text).second) << name << " repeats another code's meaning";
    }
}

TEST(HeaderNames, ReaderStatusesAndTheTwoOverlaps) {
    const char digits[] = "0123456789ABCDEF";
    for (int status = 1; status <= 15; ++status) {
        std::string name = KQ_ResultName(status);
        std::string text = KQ_ResultText(status);
        std::string quoted = std::string("status '") + digits[status] + "'";
        EXPECT_NE(text.find(quoted), std::string::npos) << status << ": " << text;
        if (status == KQ_ERR_NOBLOCKS || status == KQ_ERR_NOREPLY) {
            EXPECT_EQ(name.rfind("KQ_ERR_", 0), 0u) << name;
        } else {
            EXPECT_EQ(name, "reader status " + std::to_string(status));
        }
    }
    // Numbers that are neither: a fallback, never NULL.
    for (int code : {-1, 23, 25, 26, 27, 32, 1000}) {
        EXPECT_EQ(KQ_ResultName(code), kUnknownName) << code;
        EXPECT_EQ(KQ_ResultText(code), kUnknownText) << code;
    }
}

TEST(HeaderNames, DriverStatusesFromFtOkToTheDeviceListAndWhatTheProbeReturns) {
    const std::string unknown_name = KQ_D2xxStatusName(-1);
    const std::string unknown_text = KQ_D2xxStatusText(-1);
    std::set<std::string> names;
    for (int status = 0; status <= 19; ++status) {
        std::string name = KQ_D2xxStatusName(status);
        EXPECT_EQ(name.rfind("FT_", 0), 0u) << status << ": " << name;
        EXPECT_TRUE(names.insert(name).second) << name << " twice";
        EXPECT_NE(KQ_D2xxStatusText(status), unknown_text) << name;
    }
    EXPECT_STREQ(KQ_D2xxStatusName(0), "FT_OK");
    EXPECT_STREQ(KQ_D2xxStatusName(4), "FT_IO_ERROR");
    EXPECT_STREQ(KQ_D2xxStatusName(18), "FT_OTHER_ERROR");
    EXPECT_EQ(KQ_D2xxStatusName(20), unknown_name);
    EXPECT_EQ(KQ_D2xxStatusText(20), unknown_text);

    // What the library's probe gives for a record without a handle.
    KQ_PROPERTY prop = {};
    EXPECT_STREQ(KQ_D2xxStatusName(KQ_CheckStatusUSB(&prop)), "FT_INVALID_HANDLE");
}

} // namespace
