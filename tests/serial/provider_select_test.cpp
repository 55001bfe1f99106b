// Which D2XX provider the library binds, one row of KQ_D2XX's table per test
// process. CTest runs each case alone with its own environment (see
// tests/serial.cmake) and names the row in KQ_SELECT_ROW; run by hand
// without it, every case is skipped.
#include "kq.h"
#include "kqsim.h"
#include "serial_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include <dlfcn.h>
#include <unistd.h>

using namespace kqserial;

namespace {

bool Row(const char* name) {
    const char* row = std::getenv("KQ_SELECT_ROW");
    return row != nullptr && std::strcmp(row, name) == 0;
}

#define REQUIRE_ROW(name)                                                                          \
    if (!Row(name)) {                                                                              \
        GTEST_SKIP() << "runs only as CTest's provider-selection row '" name "'";                  \
    }

std::unique_ptr<KQ_PROPERTY> NewRecord(const char* serial) {
    auto prop = std::make_unique<KQ_PROPERTY>();
    std::memset(prop.get(), 0, sizeof(KQ_PROPERTY));
    prop->SerialNo = serial;
    prop->ReadTimeout = 500;
    prop->WriteTimeout = 500;
    prop->StopFlag = 1;
    KQ_Init_PROPERTY(prop.get());
    return prop;
}

// Plays a reader on the pty master for one buzzer command: reads the
// 7-byte BZ frame and answers it.
std::string AnswerOneBuzzer(Pty* pty) {
    std::string frame = pty->Receive(7, 3000);
    if (frame.size() == 7) {
        pty->Send("\x02RBZ0\r\n");
    }
    return frame;
}

// The serial provider is bound: a pseudo-terminal opens by its path and
// carries a whole command exchange.
void ExpectSerialProviderBound() {
    Pty pty;
    ASSERT_TRUE(pty.Ok());
    auto prop = NewRecord(pty.SlavePath().c_str());
    ASSERT_EQ(KQ_OpenUSB(prop.get()), KQ_OK)
        << "the serial provider did not open " << pty.SlavePath();
    EXPECT_EQ(KQ_CheckStatusUSB(prop.get()), 0);
    std::string frame;
    std::thread reader([&] { frame = AnswerOneBuzzer(&pty); });
    EXPECT_EQ(KQ_BuzzerCommand(prop.get(), 0), KQ_OK);
    reader.join();
    EXPECT_EQ(frame, std::string("\x02"
                                 "BZ00\r\n"));
    EXPECT_EQ(KQ_CloseUSB(prop.get()), KQ_OK);
    EXPECT_EQ(prop->Handle, nullptr);

    // Serial numbers are looked up in sysfs (a fake tree here).
    TempDir dir;
    FakeSysfs sysfs(dir / "sys");
    sysfs.AddUsbPort("ttyUSB0", "0403", "KQREAL01");
    ScopedEnv root("KQ_SERIAL_SYSFS_ROOT", sysfs.Root());
    char serial[KQ_SERIALNO_BUFFER_SIZE] = {};
    EXPECT_EQ(KQ_GetSerialNo(serial), KQ_OK);
    EXPECT_STREQ(serial, "KQREAL01");
}

} // namespace

// KQ_D2XX unset, libftd2xx.so found on the library path (the simulator
// under the vendor's file name, a copy of its own).
TEST(ProviderSelect, VendorLibraryFoundOnTheLibraryPath) {
    REQUIRE_ROW("vendor");
    kqsim_reset();
    char serial[KQ_SERIALNO_BUFFER_SIZE] = {};
    ASSERT_EQ(KQ_GetSerialNo(serial), KQ_OK);
    EXPECT_STREQ(serial, "KQSIM0001");
    auto prop = NewRecord("KQSIM0001");
    EXPECT_EQ(KQ_OpenUSB(prop.get()), KQ_OK);
    EXPECT_EQ(KQ_CheckStatusUSB(prop.get()), 0);
    EXPECT_EQ(KQ_CloseUSB(prop.get()), KQ_OK);
    // The copy answered, not the simulator this test program links.
    EXPECT_EQ(kqsim_call_count(), 0u);
    Pty pty;
    auto by_path = NewRecord(pty.SlavePath().c_str());
    EXPECT_EQ(KQ_OpenUSB(by_path.get()), KQ_ERR_USB) << "the serial provider was bound";
}

// KQ_D2XX names a library by its path.
TEST(ProviderSelect, LibraryNamedByPath) {
    REQUIRE_ROW("path");
    kqsim_reset();
    kqsim_device_add("KQSIM0002");
    char serial[KQ_SERIALNO_BUFFER_SIZE] = {};
    ASSERT_EQ(KQ_GetSerialNo(serial), KQ_OK);
    EXPECT_STREQ(serial, "KQSIM0001");
    auto prop = NewRecord("KQSIM0002");
    EXPECT_EQ(KQ_OpenUSB(prop.get()), KQ_OK);
    EXPECT_EQ(KQ_CloseUSB(prop.get()), KQ_OK);
    EXPECT_GT(kqsim_call_count(), 0u) << "the named library was not the one called";
}

// KQ_D2XX=serial.
TEST(ProviderSelect, SerialProviderByName) {
    REQUIRE_ROW("serial");
    ExpectSerialProviderBound();
    Kqsim sim({"--quiet", "--no-timing", "--tag", "E004010000000001"});
    if (!sim.Ok()) {
        GTEST_SKIP() << sim.Error();
    }
    auto prop = NewRecord(sim.Tty().c_str());
    ASSERT_EQ(KQ_OpenUSB(prop.get()), KQ_OK) << sim.Tty();
    EXPECT_EQ(KQ_GetUID(prop.get()), KQ_OK);
    EXPECT_EQ(prop->OUT_GU.Count, 1);
    EXPECT_STREQ(prop->OUT_GU.TagInfo[0].UID, "E004010000000001");
    EXPECT_EQ(KQ_CloseUSB(prop.get()), KQ_OK);
    auto sim_serial = NewRecord("KQSIM0001");
    EXPECT_EQ(KQ_OpenUSB(sim_serial.get()), KQ_ERR_USB) << "a simulator library was bound";
}

// KQ_D2XX unset and no libftd2xx.so anywhere: the serial provider.
TEST(ProviderSelect, VendorLibraryMissingFallsBackToSerial) {
    REQUIRE_ROW("fallback");
    void* vendor = dlopen("libftd2xx.so", RTLD_NOW | RTLD_LOCAL);
    if (vendor != nullptr) {
        dlclose(vendor);
        GTEST_SKIP() << "this machine has the vendor's libftd2xx.so installed";
    }
    ExpectSerialProviderBound();
}

// No provider at all: every driver call fails with status 2.
TEST(ProviderSelect, NoProvider) {
    REQUIRE_ROW("none");
    char serial[KQ_SERIALNO_BUFFER_SIZE] = {};
    EXPECT_EQ(KQ_GetSerialNo(serial), KQ_ERR_SERIALNO);
    auto prop = NewRecord("KQSIM0001");
    EXPECT_EQ(KQ_OpenUSB(prop.get()), KQ_ERR_USB);
    EXPECT_EQ(prop->Handle, nullptr);
    EXPECT_EQ(KQ_CheckStatusUSB(prop.get()), 2);
    EXPECT_EQ(KQ_CloseUSB(prop.get()), KQ_ERR_USB);
    EXPECT_EQ(KQ_GetUID(prop.get()), KQ_ERR_USB);
    EXPECT_EQ(KQ_BuzzerCommand(prop.get(), 1), KQ_ERR_USB);
    // A handle the record still holds from elsewhere: probed and released
    // without a crash.
    prop->Handle = reinterpret_cast<void*>(static_cast<uintptr_t>(0x1234));
    EXPECT_EQ(KQ_CheckStatusUSB(prop.get()), 2);
    KQ_CloseUSB(prop.get());
    EXPECT_EQ(kqsim_call_count(), 0u);
}
