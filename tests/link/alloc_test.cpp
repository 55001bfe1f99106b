// No heap allocation in the link and exchange operations.
//
// The meter counts every allocation the measuring thread makes while a
// measured operation runs, except inside driver calls: the library is bound
// to a pass-through driver (meter/d2xx_meter.cpp) that marks its calls into
// the simulated reader, whose own bookkeeping may allocate. Allocations are
// seen through the allocator itself: in plain builds malloc and its family
// are replaced by forwarders to the C library's allocator (operator new ends
// there too); under AddressSanitizer or ThreadSanitizer, which own malloc,
// through the sanitizer's allocation hook.
#include "kq.h"
#include "kqsim.h"
#include "link/link.h"
#include "serial_support.h"
#include "support/sim_fixture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int kqmeter_driver_depth(void);
extern "C" void kqmeter_run_in_driver(void (*fn)(void));

namespace {

thread_local bool t_metering = false;
thread_local long t_allocations = 0;

void NoteAllocation() {
    if (t_metering && kqmeter_driver_depth() == 0) {
        ++t_allocations;
    }
}

// Keeps the compiler from eliding an allocation the meter is meant to see.
void Escape(void* p) {
    asm volatile("" : : "r"(p) : "memory");
}

} // namespace

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)

extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*,
                                                                             size_t),
                                                         void (*free_hook)(const volatile void*));

namespace {
void MallocHook(const volatile void*, size_t) {
    NoteAllocation();
}
void FreeHook(const volatile void*) {}
void InstallMeter() {
    __sanitizer_install_malloc_and_free_hooks(MallocHook, FreeHook);
}
} // namespace

#else

extern "C" {
void* __libc_malloc(size_t n);
void* __libc_calloc(size_t n, size_t size);
void* __libc_realloc(void* p, size_t n);
void* __libc_memalign(size_t align, size_t n);
void* __libc_valloc(size_t n);
void* __libc_pvalloc(size_t n);
void __libc_free(void* p);

void* malloc(size_t n) noexcept {
    NoteAllocation();
    return __libc_malloc(n);
}
void* calloc(size_t n, size_t size) noexcept {
    NoteAllocation();
    return __libc_calloc(n, size);
}
void* realloc(void* p, size_t n) noexcept {
    NoteAllocation();
    return __libc_realloc(p, n);
}
void* memalign(size_t align, size_t n) noexcept {
    NoteAllocation();
    return __libc_memalign(align, n);
}
void* aligned_alloc(size_t align, size_t n) noexcept {
    NoteAllocation();
    return __libc_memalign(align, n);
}
void* valloc(size_t n) noexcept {
    NoteAllocation();
    return __libc_valloc(n);
}
void* pvalloc(size_t n) noexcept {
    NoteAllocation();
    return __libc_pvalloc(n);
}
int posix_memalign(void** out, size_t align, size_t n) noexcept {
    NoteAllocation();
    void* p = __libc_memalign(align, n);
    if (p == nullptr) {
        return ENOMEM;
    }
    *out = p;
    return 0;
}
void free(void* p) noexcept {
    __libc_free(p);
}
}

namespace {
void InstallMeter() {}
} // namespace

#endif

namespace {

// Allocations the calling thread made outside driver calls while fn ran.
template <typename F> long AllocationsDuring(F&& fn) {
    t_allocations = 0;
    t_metering = true;
    fn();
    t_metering = false;
    return t_allocations;
}

// ---- The meter itself ----------------------------------------------------

TEST(Meter, SeesMallocAndNew) {
    EXPECT_EQ(AllocationsDuring([] {
                  void* p = std::malloc(32);
                  Escape(p);
                  std::free(p);
              }),
              1);
    EXPECT_GE(AllocationsDuring([] {
                  auto* s = new std::string(200, 'x');
                  Escape(s);
                  delete s;
              }),
              1);
}

TEST(Meter, IgnoresAllocationsInsideTheDriver) {
    EXPECT_EQ(AllocationsDuring([] {
                  kqmeter_run_in_driver([] {
                      void* p = std::malloc(32);
                      Escape(p);
                      std::free(p);
                  });
              }),
              0);
}

// ---- The operations ----------------------------------------------------------

class NoAllocation : public kqtest::SimRecordTest {
  protected:
    void SetUp() override {
        SimRecordTest::SetUp();
        // Binding the driver happens once per process, on the first driver
        // call (it loads the provider, like a DLL's import table); it is not
        // part of any operation.
        KQ_CheckStatusUSB(&P());
        kqsim_tag_add("E004010000000001", 4, 16);
    }

    std::string Reply() { return std::string(reply_, strnlen(reply_, sizeof reply_)); }

    char reply_[256] = {};
    kq::DWORD length_ = 0;
};

TEST_F(NoAllocation, OpenProbeClose) {
    char serial[KQ_SERIALNO_BUFFER_SIZE] = {};
    EXPECT_EQ(AllocationsDuring([&] { ASSERT_EQ(KQ_GetSerialNo(serial), KQ_OK); }), 0);
    EXPECT_EQ(AllocationsDuring([&] { ASSERT_EQ(KQ_OpenUSB(&P()), KQ_OK); }), 0) << "open";
    EXPECT_EQ(AllocationsDuring([&] { ASSERT_EQ(KQ_OpenUSB(&P()), KQ_OK); }), 0) << "reopen";
    EXPECT_EQ(AllocationsDuring([&] { ASSERT_EQ(KQ_CheckStatusUSB(&P()), 0); }), 0);
    EXPECT_EQ(AllocationsDuring([&] { ASSERT_EQ(kq::CheckConnection(&P()), KQ_OK); }), 0);
    EXPECT_EQ(AllocationsDuring([&] { ASSERT_EQ(KQ_CloseUSB(&P()), KQ_OK); }), 0) << "close";
}

TEST_F(NoAllocation, ReopenAndCloseAfterUnplug) {
    ASSERT_EQ(KQ_OpenUSB(&P()), KQ_OK);
    kqsim_unplug();
    kqsim_replug();
    EXPECT_EQ(AllocationsDuring([&] { ASSERT_EQ(kq::CheckConnection(&P()), KQ_OK); }), 0);
    kqsim_unplug();
    EXPECT_EQ(AllocationsDuring([&] { ASSERT_EQ(KQ_CloseUSB(&P()), KQ_OK); }), 0);
}

TEST_F(NoAllocation, FrameExchange) {
    ASSERT_EQ(KQ_OpenUSB(&P()), KQ_OK);
    const std::string gu = kqtest::Frame("GU");
    kq::DWORD written = 0;
    EXPECT_EQ(AllocationsDuring([&] {
                  ASSERT_EQ(kq::SendFrame(&P(), gu.data(), 5, &written), 0u);
                  ASSERT_EQ(kq::ReceiveFrame(&P(), reply_, sizeof reply_, &length_), 0u);
              }),
              0);
    EXPECT_EQ(Reply(), kqtest::Frame("RGU001E004010000000001"));

    // In pieces over several polls.
    kqsim_reply_pieces(4, 2);
    std::memset(reply_, 0, sizeof reply_);
    EXPECT_EQ(AllocationsDuring([&] {
                  ASSERT_EQ(kq::SendFrame(&P(), gu.data(), 5, &written), 0u);
                  ASSERT_EQ(kq::ReceiveFrame(&P(), reply_, sizeof reply_, &length_), 0u);
              }),
              0);
    EXPECT_EQ(Reply(), kqtest::Frame("RGU001E004010000000001"));
    kqsim_reply_pieces(0, 0);

    // Too long for its destination.
    char small[8] = {};
    EXPECT_EQ(AllocationsDuring([&] {
                  ASSERT_EQ(kq::SendFrame(&P(), gu.data(), 5, &written), 0u);
                  ASSERT_EQ(kq::ReceiveFrame(&P(), small, sizeof small, &length_), 0u);
              }),
              0);
    EXPECT_EQ(length_, 0u);

    // Short fixed-length reply.
    const std::string bz = kqtest::Frame("BZ01");
    char raw[8] = {};
    kq::DWORD got = 0;
    EXPECT_EQ(AllocationsDuring([&] {
                  ASSERT_EQ(kq::SendFrame(&P(), bz.data(), 7, &written), 0u);
                  ASSERT_EQ(kq::ReadRaw(&P(), raw, 7, &got), 0u);
              }),
              0);
    EXPECT_EQ(std::string(raw, got), kqtest::Frame("RBZ0"));
}

TEST_F(NoAllocation, ReceiveGivingUp) {
    ASSERT_EQ(KQ_OpenUSB(&P()), KQ_OK);
    EXPECT_EQ(AllocationsDuring(
                  [&] { ASSERT_EQ(kq::ReceiveFrame(&P(), reply_, sizeof reply_, &length_), 0u); }),
              0);
    EXPECT_EQ(length_, 0u);
}

TEST_F(NoAllocation, ClearingFunctions) {
    EXPECT_EQ(AllocationsDuring([&] { KQ_Init_PROPERTY(&P()); }), 0);
    KQ_IN_SW in_sw;
    KQ_OUT_SNSR out_snsr;
    EXPECT_EQ(AllocationsDuring([&] {
                  KQ_Init_IN_SW(&in_sw);
                  KQ_Init_OUT_SNSR(&out_snsr);
              }),
              0);
}

// The built-in serial provider lists ports on every KQ_GetSerialNo and is
// polled every millisecond while a reply is awaited.
TEST(NoAllocationSerial, ListingAndQueuePoll) {
    using namespace kq::ft;
    const kq::D2xxApi* serial = kq::SerialProviderApi();
    ASSERT_NE(serial, nullptr);
    kqserial::TempDir dir;
    kqserial::FakeSysfs sysfs(dir / "sys");
    sysfs.AddUsbPort("ttyUSB3", "067b", "PL2303X1");
    sysfs.AddUsbPort("ttyUSB2", "0403", "KQ000002");
    kqserial::ScopedEnv root("KQ_SERIAL_SYSFS_ROOT", dir / "sys");
    char text[64] = {};
    DWORD count = 0;
    EXPECT_EQ(AllocationsDuring([&] {
                  ASSERT_EQ(serial->ListDevices(nullptr, text,
                                                FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER),
                            FT_OK);
                  ASSERT_EQ(serial->ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
              }),
              0);
    EXPECT_STREQ(text, "KQ000002");
    EXPECT_EQ(count, 1u);

    kqserial::Pty pty;
    ASSERT_TRUE(pty.Ok());
    FT_HANDLE h = nullptr;
    ASSERT_EQ(
        serial->OpenEx(const_cast<char*>(pty.SlavePath().c_str()), FT_OPEN_BY_SERIAL_NUMBER, &h),
        FT_OK);
    DWORD rx = 0, tx = 0, events = 0;
    EXPECT_EQ(AllocationsDuring([&] {
                  for (int i = 0; i < 100; ++i) {
                      ASSERT_EQ(serial->GetStatus(h, &rx, &tx, &events), FT_OK);
                      ASSERT_EQ(serial->GetQueueStatus(h, &rx), FT_OK);
                  }
              }),
              0);
    EXPECT_EQ(serial->Close(h), FT_OK);
}

} // namespace

int main(int argc, char** argv) {
    // Bind the library to the metering pass-through instead of the
    // simulated reader itself.
    setenv("KQ_D2XX", KQ_METER_LIBRARY_PATH, 1);
    InstallMeter();
    kqmeter_driver_depth();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
