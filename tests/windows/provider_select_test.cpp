// Windows: the D2XX provider the library binds, one case per test process
// (KQ_SELECT_ROW names it; CTest runs each alone, see tests/windows.cmake).
// Each case sets KQ_D2XX through the Win32 environment, as a client program
// would with SetEnvironmentVariable, before its first library call.
#include "kq.h"
#include "kqsim.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <windows.h>

namespace {

const char* Row() {
    return std::getenv("KQ_SELECT_ROW");
}

bool RowIs(const char* name) {
    return Row() != nullptr && std::strcmp(Row(), name) == 0;
}

// Folder of this program, with a trailing backslash.
std::string ProgramFolder() {
    char path[MAX_PATH] = {};
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string s(path, n);
    return s.substr(0, s.find_last_of("\\/") + 1);
}

std::unique_ptr<KQ_PROPERTY> NewRecord(const char* serial) {
    auto prop = std::make_unique<KQ_PROPERTY>();
    std::memset(prop.get(), 0, sizeof(KQ_PROPERTY));
    prop->SerialNo = serial;
    prop->ReadTimeout = 300;
    prop->WriteTimeout = 300;
    prop->StopFlag = 1;
    KQ_Init_PROPERTY(prop.get());
    return prop;
}

// No provider: every driver call fails with "device not found", which the
// operations report as their own codes; nothing crashes, and there is no
// fallback on Windows.
void ExpectNoProvider() {
    char serial[KQ_SERIALNO_BUFFER_SIZE] = {};
    EXPECT_EQ(KQ_GetSerialNo(serial), KQ_ERR_SERIALNO);
    auto prop = NewRecord("KQSIM0001");
    EXPECT_EQ(KQ_OpenUSB(prop.get()), KQ_ERR_USB);
    EXPECT_EQ(prop->Handle, nullptr);
    EXPECT_NE(KQ_CheckStatusUSB(prop.get()), 0);
    EXPECT_EQ(KQ_CloseUSB(prop.get()), KQ_ERR_USB);
    EXPECT_EQ(KQ_GetUID(prop.get()), KQ_ERR_USB);
}

// The simulated reader was bound: a whole session through it.
void ExpectSession(const char* expected_serial) {
    char serial[KQ_SERIALNO_BUFFER_SIZE] = {};
    ASSERT_EQ(KQ_GetSerialNo(serial), KQ_OK);
    EXPECT_STREQ(serial, expected_serial);
    auto prop = NewRecord(serial);
    ASSERT_EQ(KQ_OpenUSB(prop.get()), KQ_OK);
    EXPECT_EQ(KQ_GetUID(prop.get()), KQ_OK);
    EXPECT_EQ(KQ_CloseUSB(prop.get()), KQ_OK);
}

class WindowsProvider : public ::testing::Test {
  protected:
    void SetUp() override {
        if (Row() == nullptr) {
            GTEST_SKIP() << "runs only as one of CTest's windows_provider cases";
        }
        // Nothing from outside: each case chooses its own provider.
        ASSERT_TRUE(SetEnvironmentVariableA("KQ_D2XX", nullptr) ||
                    GetLastError() == ERROR_ENVVAR_NOT_FOUND);
    }
};

TEST_F(WindowsProvider, VendorDllByItsPlainName) {
    if (!RowIs("vendor")) {
        GTEST_SKIP();
    }
    // KQ_D2XX unset: ftd2xx.dll through the normal DLL search, here the
    // simulated reader under that name in a folder added to the search.
    ASSERT_TRUE(SetDllDirectoryA((ProgramFolder() + "vendor-dll").c_str()));
    ASSERT_EQ(GetModuleHandleA("ftd2xx.dll"), nullptr);
    ExpectSession("KQSIM0001");
    EXPECT_NE(GetModuleHandleA("ftd2xx.dll"), nullptr) << "the vendor's name was not loaded";
}

TEST_F(WindowsProvider, DllNamedByPathInTheProcessEnvironment) {
    if (!RowIs("named")) {
        GTEST_SKIP();
    }
    // Set through the Win32 environment, not the C runtime's copy. The full
    // path of the simulated reader this program is linked with: the library
    // must bind that same instance, so a tag placed here is seen there.
    std::string path = ProgramFolder() + KQSIM_LIBRARY_NAME;
    ASSERT_TRUE(SetEnvironmentVariableA("KQ_D2XX", path.c_str()));
    kqsim_reset();
    kqsim_set_timing(0);
    ASSERT_EQ(kqsim_tag_add("E0040100AABBCCDD", 4, 16), 0);
    auto prop = NewRecord("KQSIM0001");
    ASSERT_EQ(KQ_OpenUSB(prop.get()), KQ_OK);
    ASSERT_EQ(KQ_GetUID(prop.get()), KQ_OK);
    EXPECT_EQ(prop->OUT_GU.Count, 1);
    EXPECT_STREQ(prop->OUT_GU.TagInfo[0].UID, "E0040100AABBCCDD");
    EXPECT_EQ(KQ_CloseUSB(prop.get()), KQ_OK);
    EXPECT_EQ(kqsim_open_handles(), 0);
}

TEST_F(WindowsProvider, MissingDllMeansNoProvider) {
    if (!RowIs("missing")) {
        GTEST_SKIP();
    }
    // Also nothing of the default: KQ_D2XX names a DLL that does not exist,
    // and no ftd2xx.dll is anywhere on the search path either.
    ASSERT_TRUE(SetEnvironmentVariableA("KQ_D2XX", "kq_no_such_driver.dll"));
    ExpectNoProvider();
}

TEST_F(WindowsProvider, DllWithoutTheDriverFunctionsMeansNoProvider) {
    if (!RowIs("incomplete")) {
        GTEST_SKIP();
    }
    // A DLL that loads but exports no FT_* functions: the library itself.
    ASSERT_TRUE(SetEnvironmentVariableA("KQ_D2XX", "kq.dll"));
    ExpectNoProvider();
}

} // namespace
