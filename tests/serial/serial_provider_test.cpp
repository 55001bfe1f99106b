// The built-in serial provider over a real pseudo-terminal: the test plays
// the reader on the master side and calls the provider's D2XX table.
#include "link/d2xx.h"
#include "link/providers/serial_line.h"
#include "serial_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

using namespace kqserial;
using namespace kq::ft;

namespace {

const kq::D2xxApi& Api() {
    return *kq::SerialProviderApi();
}

FT_STATUS Open(const std::string& text, FT_HANDLE* h, DWORD flags = FT_OPEN_BY_SERIAL_NUMBER) {
    return Api().OpenEx(const_cast<char*>(text.c_str()), flags, h);
}

DWORD Queued(FT_HANDLE h) {
    DWORD rx = 0, tx = 0, ev = 0;
    EXPECT_EQ(Api().GetStatus(h, &rx, &tx, &ev), FT_OK);
    return rx;
}

// Bytes written to the master reach the slave's queue a moment later: waits
// until the queue holds at least n bytes.
DWORD WaitQueued(FT_HANDLE h, DWORD n) {
    auto start = Clock::now();
    DWORD rx = Queued(h);
    while (rx < n && ElapsedMs(start) < 5000) {
        usleep(1000);
        rx = Queued(h);
    }
    return rx;
}

// The provider looks at a device's node again some tens of milliseconds
// after it last found it in place: true once calls on h fail, within 2 s.
bool GoneSoon(FT_HANDLE h) {
    auto start = Clock::now();
    DWORD rx, tx, ev;
    while (Api().GetStatus(h, &rx, &tx, &ev) == FT_OK) {
        if (ElapsedMs(start) > 2000) {
            return false;
        }
        usleep(1000);
    }
    return true;
}

std::string Read(FT_HANDLE h, DWORD n, FT_STATUS* status) {
    std::string buf(n, '\0');
    DWORD got = 12345;
    *status = Api().Read(h, buf.data(), n, &got);
    buf.resize(got <= n ? got : 0);
    return buf;
}

class SerialProvider : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(kq::SerialProviderApi(), nullptr);
        ASSERT_TRUE(pty_.Ok());
        ASSERT_EQ(Open(pty_.SlavePath(), &h_), FT_OK);
        ASSERT_NE(h_, nullptr);
    }
    void TearDown() override {
        if (h_ != nullptr) {
            EXPECT_EQ(Api().Close(h_), FT_OK);
        }
    }
    Pty pty_;
    FT_HANDLE h_ = nullptr;
};

} // namespace

// ---- Reading -----------------------------------------------------------------

TEST_F(SerialProvider, ReadReturnsWhatArrivedOnceTheReadTimeoutPasses) {
    ASSERT_EQ(Api().SetTimeouts(h_, 150, 150), FT_OK);
    pty_.Send("abc");
    auto start = Clock::now();
    FT_STATUS status;
    std::string got = Read(h_, 10, &status);
    long elapsed = ElapsedMs(start);
    EXPECT_EQ(status, FT_OK);
    EXPECT_EQ(got, "abc");
    EXPECT_GE(elapsed, 140) << "returned before the read timeout with fewer bytes than asked";
    EXPECT_LT(elapsed, 5000);

    // Nothing at all: status 0 and no bytes, after the timeout.
    start = Clock::now();
    got = Read(h_, 4, &status);
    EXPECT_EQ(status, FT_OK);
    EXPECT_EQ(got, "");
    EXPECT_GE(ElapsedMs(start), 140);
}

TEST_F(SerialProvider, ReadAndWriteEachKeepTheirOwnTimeout) {
    // Read timeout short, write timeout long: a read of nothing ends with the
    // read timeout.
    ASSERT_EQ(Api().SetTimeouts(h_, 100, 4000), FT_OK);
    auto start = Clock::now();
    FT_STATUS status;
    EXPECT_EQ(Read(h_, 4, &status), "");
    EXPECT_EQ(status, FT_OK);
    long elapsed = ElapsedMs(start);
    EXPECT_GE(elapsed, 90);
    EXPECT_LT(elapsed, 2000) << "the read waited for the write timeout";

    // The other way round: a write nobody takes ends with the write timeout.
    ASSERT_EQ(Api().SetTimeouts(h_, 4000, 100), FT_OK);
    std::string big(1 << 20, 'x');
    DWORD written = 0;
    start = Clock::now();
    EXPECT_EQ(Api().Write(h_, big.data(), static_cast<DWORD>(big.size()), &written), FT_OK);
    EXPECT_LT(ElapsedMs(start), 2000) << "the write waited for the read timeout";
    EXPECT_LT(written, big.size());
}

TEST_F(SerialProvider, ReadWaitsForTheFullCountAcrossPieces) {
    ASSERT_EQ(Api().SetTimeouts(h_, 5000, 1000), FT_OK);
    std::thread reader_side([this] {
        for (const char* piece : {"\x02RG", "U0", "01234", "\r\n"}) {
            usleep(30000);
            pty_.Send(piece);
        }
    });
    auto start = Clock::now();
    FT_STATUS status;
    std::string got = Read(h_, 12, &status);
    long elapsed = ElapsedMs(start);
    reader_side.join();
    EXPECT_EQ(status, FT_OK);
    EXPECT_EQ(got, "\x02RGU001234\r\n");
    EXPECT_LT(elapsed, 4000) << "waited for the timeout although the count had arrived";
}

TEST_F(SerialProvider, ReadWithoutTimeoutBlocksUntilTheCountArrived) {
    ASSERT_EQ(Api().SetTimeouts(h_, 0, 0), FT_OK);
    std::thread reader_side([this] {
        usleep(200000);
        pty_.Send("0123456789");
    });
    FT_STATUS status;
    std::string got = Read(h_, 10, &status);
    reader_side.join();
    EXPECT_EQ(status, FT_OK);
    EXPECT_EQ(got, "0123456789");
}

TEST_F(SerialProvider, PartialReadsLeaveTheRestQueued) {
    pty_.Send("\x02RBZ0\r\nXYZ");
    ASSERT_EQ(WaitQueued(h_, 10), 10u);
    FT_STATUS status;
    EXPECT_EQ(Read(h_, 4, &status), "\x02RBZ");
    EXPECT_EQ(status, FT_OK);
    DWORD rx = 0;
    EXPECT_EQ(Api().GetQueueStatus(h_, &rx), FT_OK);
    EXPECT_EQ(rx, 6u);
    EXPECT_EQ(Read(h_, 6, &status), "0\r\nXYZ");
    EXPECT_EQ(Queued(h_), 0u);
}

TEST_F(SerialProvider, QueueAmountCountsUnreadBytesAndBinaryPassesUnchanged) {
    EXPECT_EQ(Queued(h_), 0u);
    // Raw mode: CR, LF, NUL, XON/XOFF characters and 8-bit bytes arrive as sent.
    std::string bytes("\r\n\0\x11\x13\x03\x7f\xff", 8);
    pty_.Send(bytes);
    EXPECT_EQ(WaitQueued(h_, 8), 8u);
    DWORD rx = 0;
    EXPECT_EQ(Api().GetQueueStatus(h_, &rx), FT_OK);
    EXPECT_EQ(rx, 8u);
    FT_STATUS status;
    EXPECT_EQ(Read(h_, 8, &status), bytes);
}

TEST_F(SerialProvider, PurgeOfTheReceiveSideDropsQueuedBytes) {
    pty_.Send("stale reply");
    ASSERT_EQ(WaitQueued(h_, 11), 11u);
    EXPECT_EQ(Api().Purge(h_, FT_PURGE_TX), FT_OK);
    EXPECT_EQ(Queued(h_), 11u) << "a transmit purge emptied the receive queue";
    EXPECT_EQ(Api().Purge(h_, FT_PURGE_RX | FT_PURGE_TX), FT_OK);
    EXPECT_EQ(Queued(h_), 0u);
    pty_.Send("new");
    ASSERT_EQ(WaitQueued(h_, 3), 3u);
    FT_STATUS status;
    EXPECT_EQ(Read(h_, 3, &status), "new");
}

// ---- Writing -----------------------------------------------------------------

TEST_F(SerialProvider, WriteSendsTheExactBytes) {
    std::string frame("\x02SR0010E0040100104A5B6C7\r\n", 26);
    DWORD written = 0;
    EXPECT_EQ(Api().Write(h_, frame.data(), static_cast<DWORD>(frame.size()), &written), FT_OK);
    EXPECT_EQ(written, frame.size());
    EXPECT_EQ(pty_.Receive(frame.size(), 2000), frame);
}

TEST_F(SerialProvider, WriteTimeoutEndsAWriteNobodyTakes) {
    // Nobody reads the master: the line's buffers fill up and the rest of
    // the write waits for the write timeout, then reports what went out.
    ASSERT_EQ(Api().SetTimeouts(h_, 100, 200), FT_OK);
    std::string big(1 << 20, 'x');
    DWORD written = 0;
    auto start = Clock::now();
    EXPECT_EQ(Api().Write(h_, big.data(), static_cast<DWORD>(big.size()), &written), FT_OK);
    EXPECT_LT(ElapsedMs(start), 10000);
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, big.size());
}

// ---- Line settings ---------------------------------------------------------------

TEST_F(SerialProvider, LineSettingsReachTheTty) {
    termios tio;
    // The master reports the line settings of its slave.
    ASSERT_EQ(tcgetattr(pty_.Master(), &tio), 0);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u) << "not raw after open";
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_NE(tio.c_cflag & CLOCAL, 0u);

    EXPECT_EQ(Api().SetBaudRate(h_, 38400), FT_OK);
    EXPECT_EQ(Api().SetDataCharacteristics(h_, 8, 0, 0), FT_OK);
    EXPECT_EQ(Api().SetFlowControl(h_, 0, 0, 0), FT_OK);
    ASSERT_EQ(tcgetattr(pty_.Master(), &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B38400));
    EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B38400));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), 0u);

    // A pseudo-terminal keeps 8 data bits without parity whatever it is
    // asked (it has no wire); the stop bits and the handshakes show.
    EXPECT_EQ(Api().SetBaudRate(h_, 115200), FT_OK);
    EXPECT_EQ(Api().SetDataCharacteristics(h_, 7, 2, 2), FT_OK); // 7E2
    EXPECT_EQ(Api().SetFlowControl(h_, 0x0100, 0, 0), FT_OK);    // RTS/CTS
    ASSERT_EQ(tcgetattr(pty_.Master(), &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
    EXPECT_NE(tio.c_cflag & CSTOPB, 0u);
    EXPECT_NE(tio.c_cflag & CRTSCTS, 0u);

    EXPECT_EQ(Api().SetDataCharacteristics(h_, 8, 0, 1), FT_OK);    // 8O1
    EXPECT_EQ(Api().SetFlowControl(h_, 0x0400, 0x11, 0x13), FT_OK); // XON/XOFF
    ASSERT_EQ(tcgetattr(pty_.Master(), &tio), 0);
    EXPECT_EQ(tio.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(tio.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
    EXPECT_EQ(tio.c_cc[VSTART], 0x11);
    EXPECT_EQ(tio.c_cc[VSTOP], 0x13);
}

// What the provider asks of the line, seen where it would reach the system
// (and kept from it): a pseudo-terminal shows neither parity nor data bits
// nor a break, and refuses a setting it cannot carry out at all (7N1).
class SerialProviderRequests : public SerialProvider {
  protected:
    static int RecordSetAttr(int, int, const termios* tio) {
        settings_.push_back(*tio);
        return 0;
    }
    static int RecordBreak(int, bool on) {
        breaks_.push_back(on);
        return 0;
    }
    void SetUp() override {
        SerialProvider::SetUp();
        settings_.clear();
        breaks_.clear();
        kq::serial::SetLineCalls({RecordSetAttr, RecordBreak});
    }
    void TearDown() override {
        kq::serial::SetLineCalls({nullptr, nullptr});
        SerialProvider::TearDown();
    }
    // The c_cflag bits of size, stop bits and parity that the last setting
    // asked for.
    tcflag_t LastFrameBits() {
        EXPECT_FALSE(settings_.empty());
        return settings_.empty()
                   ? 0
                   : settings_.back().c_cflag & (CSIZE | CSTOPB | PARENB | PARODD | CMSPAR);
    }
    static inline std::vector<termios> settings_;
    static inline std::vector<bool> breaks_;
};

TEST_F(SerialProviderRequests, DataCharacteristicsAsAsked) {
    struct Row {
        UCHAR bits, stop, parity;
        tcflag_t expected;
    } rows[] = {
        {FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE, CS8},
        {FT_BITS_7, FT_STOP_BITS_1, FT_PARITY_NONE, CS7},
        {FT_BITS_8, FT_STOP_BITS_2, FT_PARITY_NONE, CS8 | CSTOPB},
        {FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_ODD, CS8 | PARENB | PARODD},
        {FT_BITS_7, FT_STOP_BITS_2, FT_PARITY_EVEN, CS7 | CSTOPB | PARENB},
        {FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_MARK, CS8 | PARENB | CMSPAR | PARODD},
        {FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_SPACE, CS8 | PARENB | CMSPAR},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "bits " << int(row.bits) << " stop " << int(row.stop)
                                        << " parity " << int(row.parity));
        settings_.clear();
        EXPECT_EQ(Api().SetDataCharacteristics(h_, row.bits, row.stop, row.parity), FT_OK);
        EXPECT_EQ(LastFrameBits(), row.expected);
    }
}

TEST_F(SerialProviderRequests, FlowControlAsAsked) {
    EXPECT_EQ(Api().SetFlowControl(h_, FT_FLOW_XON_XOFF, 0x11, 0x13), FT_OK);
    ASSERT_EQ(settings_.size(), 1u);
    EXPECT_EQ(settings_[0].c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
    EXPECT_EQ(settings_[0].c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(settings_[0].c_cc[VSTART], 0x11);
    EXPECT_EQ(settings_[0].c_cc[VSTOP], 0x13);
    EXPECT_EQ(Api().SetFlowControl(h_, FT_FLOW_RTS_CTS, 0, 0), FT_OK);
    ASSERT_EQ(settings_.size(), 2u);
    EXPECT_NE(settings_[1].c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(settings_[1].c_iflag & (IXON | IXOFF), 0u);
    EXPECT_EQ(Api().SetFlowControl(h_, FT_FLOW_NONE, 0, 0), FT_OK);
    ASSERT_EQ(settings_.size(), 3u);
    EXPECT_EQ(settings_[2].c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(settings_[2].c_iflag & (IXON | IXOFF), 0u);
}

TEST_F(SerialProviderRequests, BreakOnThenOff) {
    EXPECT_EQ(Api().SetBreakOn(h_), FT_OK);
    EXPECT_EQ(Api().SetBreakOff(h_), FT_OK);
    EXPECT_EQ(breaks_, (std::vector<bool>{true, false}));
}

TEST_F(SerialProvider, RefusedLineSettingsChangeNothing) {
    ASSERT_EQ(Api().SetBaudRate(h_, 38400), FT_OK);
    EXPECT_EQ(Api().SetBaudRate(h_, 12345), FT_INVALID_BAUD_RATE);
    EXPECT_EQ(Api().SetDataCharacteristics(h_, 6, 0, 0), FT_INVALID_PARAMETER);
    EXPECT_EQ(Api().SetDataCharacteristics(h_, 8, 1, 0), FT_INVALID_PARAMETER);
    EXPECT_EQ(Api().SetDataCharacteristics(h_, 8, 0, 5), FT_INVALID_PARAMETER);
    EXPECT_EQ(Api().SetFlowControl(h_, 0x0200, 0, 0), FT_NOT_SUPPORTED);
    EXPECT_EQ(Api().SetFlowControl(h_, 0x0300, 0, 0), FT_INVALID_PARAMETER);
    termios tio;
    ASSERT_EQ(tcgetattr(pty_.Master(), &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B38400));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
}

TEST_F(SerialProvider, BreakAndResetLeaveTheLineUsable) {
    // qemu-user (the i386 suite) does not emulate the break ioctls at all.
    if (ioctl(pty_.Master(), TIOCSBRK) != 0 && errno == ENOSYS) {
        GTEST_SKIP() << "this system call layer has no TIOCSBRK (qemu-user)";
    }
    ioctl(pty_.Master(), TIOCCBRK);
    EXPECT_EQ(Api().SetBreakOn(h_), FT_OK);
    EXPECT_EQ(Api().SetBreakOff(h_), FT_OK);
    EXPECT_EQ(Api().ResetDevice(h_), FT_OK);
    DWORD written = 0;
    char frame[] = "\x02GU\r\n";
    EXPECT_EQ(Api().Write(h_, frame, 5, &written), FT_OK);
    EXPECT_EQ(pty_.Receive(5, 2000), std::string(frame, 5));
}

// ---- Open, exclusivity, handles ------------------------------------------------------

TEST_F(SerialProvider, ASecondOpenOfAnOpenDeviceFails) {
    FT_HANDLE second = nullptr;
    EXPECT_EQ(Open(pty_.SlavePath(), &second), FT_DEVICE_NOT_OPENED);
    EXPECT_EQ(second, nullptr);

    // Another process using the provider is kept out as well.
    int child = RunInChild(
        false,
        [](const void* path) {
            FT_HANDLE h = nullptr;
            return static_cast<int>(Open(*static_cast<const std::string*>(path), &h));
        },
        &pty_.SlavePath());
    EXPECT_EQ(child, static_cast<int>(FT_DEVICE_NOT_OPENED));

    ASSERT_EQ(Api().Close(h_), FT_OK);
    h_ = nullptr;
    EXPECT_EQ(Open(pty_.SlavePath(), &h_), FT_OK) << "the device stayed locked after close";
}

TEST_F(SerialProvider, HandlesAreCheckedAndNeverReused) {
    DWORD rx, tx, ev;
    EXPECT_EQ(Api().GetStatus(nullptr, &rx, &tx, &ev), FT_INVALID_HANDLE);
    EXPECT_EQ(Api().Close(nullptr), FT_INVALID_HANDLE);
    FT_HANDLE bogus = reinterpret_cast<FT_HANDLE>(static_cast<uintptr_t>(0x5a5a5a5a));
    EXPECT_EQ(Api().GetStatus(bogus, &rx, &tx, &ev), FT_INVALID_HANDLE);
    EXPECT_EQ(Api().Close(bogus), FT_INVALID_HANDLE);

    FT_HANDLE first = h_;
    ASSERT_EQ(Api().Close(h_), FT_OK);
    h_ = nullptr;
    EXPECT_EQ(Api().Close(first), FT_INVALID_HANDLE) << "a handle closed twice";
    EXPECT_EQ(Api().GetStatus(first, &rx, &tx, &ev), FT_INVALID_HANDLE);
    DWORD n = 0;
    char b[4];
    EXPECT_EQ(Api().Read(first, b, 4, &n), FT_INVALID_HANDLE);
    EXPECT_EQ(Api().Write(first, b, 4, &n), FT_INVALID_HANDLE);

    ASSERT_EQ(Open(pty_.SlavePath(), &h_), FT_OK);
    EXPECT_NE(h_, first) << "a closed handle's value came back";
    EXPECT_EQ(Api().GetStatus(first, &rx, &tx, &ev), FT_INVALID_HANDLE)
        << "the old handle reaches the new open";
}

TEST(SerialProviderOpen, MissingDevicesAndBadArguments) {
    FT_HANDLE h = reinterpret_cast<FT_HANDLE>(1);
    EXPECT_EQ(Open("/dev/kq-no-such-device", &h), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(Open("/dev/null", &h), FT_DEVICE_NOT_FOUND) << "/dev/null is no serial line";
    EXPECT_EQ(Api().OpenEx(nullptr, FT_OPEN_BY_SERIAL_NUMBER, &h), FT_INVALID_PARAMETER);
    Pty pty;
    ASSERT_TRUE(pty.Ok());
    EXPECT_EQ(Open(pty.SlavePath(), &h, 4 /* by location */), FT_NOT_SUPPORTED);
}

TEST(SerialProviderOpen, PermissionDeniedGivesAFailedOpen) {
    Pty pty;
    ASSERT_TRUE(pty.Ok());
    // The slave is the test's, mode 0600. Another user may not open it; as
    // root the check runs in a child that dropped to nobody.
    ASSERT_EQ(chmod(pty.SlavePath().c_str(), geteuid() == 0 ? 0600 : 0000), 0);
    int status = RunInChild(
        true,
        [](const void* path) {
            FT_HANDLE h = nullptr;
            FT_STATUS s = Open(*static_cast<const std::string*>(path), &h);
            return static_cast<int>(h == nullptr ? s : 99);
        },
        &pty.SlavePath());
    if (status == kCannotDropPrivileges) {
        GTEST_SKIP() << "cannot drop root privileges here";
    }
    EXPECT_TRUE(status == static_cast<int>(FT_DEVICE_NOT_OPENED) ||
                status == static_cast<int>(FT_DEVICE_NOT_FOUND))
        << "status " << status;
    chmod(pty.SlavePath().c_str(), 0600);
}

// ---- A device that goes away -------------------------------------------------------------

TEST_F(SerialProvider, EveryCallFailsOnceTheFarSideHungUp) {
    DWORD rx, tx, ev, n;
    ASSERT_EQ(Api().GetStatus(h_, &rx, &tx, &ev), FT_OK);
    pty_.CloseMaster();
    EXPECT_NE(Api().GetStatus(h_, &rx, &tx, &ev), FT_OK);
    EXPECT_NE(Api().GetQueueStatus(h_, &rx), FT_OK);
    EXPECT_NE(Api().SetBaudRate(h_, 38400), FT_OK);
    EXPECT_NE(Api().SetDataCharacteristics(h_, 8, 0, 0), FT_OK);
    EXPECT_NE(Api().SetFlowControl(h_, 0, 0, 0), FT_OK);
    EXPECT_NE(Api().SetTimeouts(h_, 10, 10), FT_OK);
    EXPECT_NE(Api().Purge(h_, 3), FT_OK);
    EXPECT_NE(Api().SetBreakOn(h_), FT_OK);
    EXPECT_NE(Api().SetBreakOff(h_), FT_OK);
    EXPECT_NE(Api().ResetDevice(h_), FT_OK);
    char b[8] = "x";
    EXPECT_NE(Api().Write(h_, b, 1, &n), FT_OK);
    EXPECT_NE(Api().Read(h_, b, 8, &n), FT_OK);
    EXPECT_EQ(Api().Close(h_), FT_OK) << "a gone device must still be released";
    h_ = nullptr;
}

TEST_F(SerialProvider, AHungUpLineIsGoneEvenWhileItsNodeStays) {
    // A USB serial port is hung up at once on unplug, while its node may
    // linger until udev removes it. A virtual hang-up does the same here.
    int other = open(pty_.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (other < 0 || ioctl(other, TIOCVHANGUP) != 0) {
        if (other >= 0) {
            close(other);
        }
        GTEST_SKIP() << "this test needs CAP_SYS_ADMIN for a virtual hang-up";
    }
    close(other);
    struct stat st;
    ASSERT_EQ(stat(pty_.SlavePath().c_str(), &st), 0) << "the node went away too";
    DWORD rx, tx, ev;
    EXPECT_EQ(Api().GetStatus(h_, &rx, &tx, &ev), FT_IO_ERROR);
    EXPECT_EQ(Api().Close(h_), FT_OK);
    h_ = nullptr;
}

TEST_F(SerialProvider, ABlockedReadReturnsWhenTheDeviceVanishes) {
    ASSERT_EQ(Api().SetTimeouts(h_, 0, 0), FT_OK); // no limit: only the hang-up ends it
    std::atomic<FT_STATUS> status{FT_OK};
    std::atomic<bool> done{false};
    std::thread reader([&] {
        char b[16];
        DWORD n = 0;
        status = Api().Read(h_, b, sizeof b, &n);
        done = true;
    });
    usleep(100000);
    EXPECT_FALSE(done);
    pty_.CloseMaster();
    auto start = Clock::now();
    while (!done && ElapsedMs(start) < 5000) {
        usleep(1000);
    }
    ASSERT_TRUE(done) << "read still blocked on a vanished device";
    reader.join();
    EXPECT_EQ(status, FT_IO_ERROR);
}

TEST_F(SerialProvider, CloseWhileAnotherThreadProbesIsSafe) {
    // A loop worker may probe a handle that its client is closing.
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::thread prober([&] {
        FT_HANDLE h = h_;
        while (!stop) {
            DWORD rx, tx, ev;
            FT_STATUS s = Api().GetStatus(h, &rx, &tx, &ev);
            if (s != FT_OK && s != FT_INVALID_HANDLE) {
                ++bad;
            }
        }
    });
    usleep(20000);
    EXPECT_EQ(Api().Close(h_), FT_OK);
    h_ = nullptr;
    usleep(20000);
    stop = true;
    prober.join();
    EXPECT_EQ(bad, 0);
    ASSERT_EQ(Open(pty_.SlavePath(), &h_), FT_OK) << "close did not release the device";
}

TEST(SerialProviderNode, RemovedOrRepointedNodeMeansGone) {
    // Opened through a symlink (as through a udev symlink); the link then
    // disappears, or names another tty.
    Pty first, second;
    ASSERT_TRUE(first.Ok() && second.Ok());
    std::string link = "/dev/shm/kq-serial-test-" + std::to_string(getpid());
    DWORD rx, tx, ev;

    Symlink(first.SlavePath(), link);
    struct stat st;
    if (lstat(link.c_str(), &st) != 0) {
        GTEST_SKIP() << "cannot make a symlink under /dev/shm";
    }
    FT_HANDLE h = nullptr;
    ASSERT_EQ(Open(link, &h), FT_OK);
    EXPECT_EQ(Api().GetStatus(h, &rx, &tx, &ev), FT_OK);
    ASSERT_EQ(unlink(link.c_str()), 0);
    EXPECT_TRUE(GoneSoon(h)) << "node removed, device still reported";
    Symlink(first.SlavePath(), link);
    EXPECT_NE(Api().GetStatus(h, &rx, &tx, &ev), FT_OK) << "a gone device came back";
    EXPECT_EQ(Api().Close(h), FT_OK);

    ASSERT_EQ(Open(link, &h), FT_OK);
    EXPECT_EQ(Api().GetStatus(h, &rx, &tx, &ev), FT_OK);
    Symlink(second.SlavePath(), link);
    EXPECT_TRUE(GoneSoon(h)) << "node now names another device";
    EXPECT_EQ(Api().Close(h), FT_OK);
    unlink(link.c_str());
}

// ---- Listing and open by serial number through sysfs ----------------------------------------

class SerialProviderSysfs : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.Path().empty());
        sysfs_.AddUsbPort("ttyUSB10", "0403", "KQ000010");
        sysfs_.AddUsbPort("ttyUSB3", "067b", "PL2303X1"); // not FTDI
        sysfs_.AddUsbPort("ttyUSB2", "0403", "KQ000002", "Other Reader");
        sysfs_.AddPlainTty("ttyS0");
        sysfs_.AddPlainTty("ttyUSBx"); // not a port number
        MakeDirs(dir_ / "dev");
    }
    TempDir dir_;
    FakeSysfs sysfs_{dir_ / "sys"};
    ScopedEnv root_{"KQ_SERIAL_SYSFS_ROOT", dir_ / "sys"};
    ScopedEnv dev_{"KQ_SERIAL_DEV_DIR", dir_ / "dev"};
};

TEST_F(SerialProviderSysfs, ListsFtdiPortsInPortOrder) {
    DWORD count = 99;
    EXPECT_EQ(Api().ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
    EXPECT_EQ(count, 2u);

    char buf[64];
    auto by_index = [&](uintptr_t index, DWORD what) {
        std::memset(buf, 'z', sizeof buf);
        FT_STATUS s =
            Api().ListDevices(reinterpret_cast<void*>(index), buf, FT_LIST_BY_INDEX | what);
        return s == FT_OK ? std::string(buf) : "status " + std::to_string(s);
    };
    EXPECT_EQ(by_index(0, FT_OPEN_BY_SERIAL_NUMBER), "KQ000002") << "ttyUSB2 comes before ttyUSB10";
    EXPECT_EQ(by_index(1, FT_OPEN_BY_SERIAL_NUMBER), "KQ000010");
    EXPECT_EQ(by_index(2, FT_OPEN_BY_SERIAL_NUMBER), "status 2");
    EXPECT_EQ(by_index(0, FT_OPEN_BY_DESCRIPTION), "Other Reader");

    char a[64], b[64];
    char* buffers[] = {a, b, nullptr};
    count = 0;
    EXPECT_EQ(Api().ListDevices(buffers, &count, FT_LIST_ALL | FT_OPEN_BY_SERIAL_NUMBER), FT_OK);
    EXPECT_EQ(count, 2u);
    EXPECT_STREQ(a, "KQ000002");
    EXPECT_STREQ(b, "KQ000010");
}

TEST_F(SerialProviderSysfs, NoFtdiPortNoListing) {
    ScopedEnv empty("KQ_SERIAL_SYSFS_ROOT", dir_ / "nothing-here");
    DWORD count = 99;
    EXPECT_EQ(Api().ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
    EXPECT_EQ(count, 0u);
    char buf[64];
    EXPECT_EQ(Api().ListDevices(nullptr, buf, FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER),
              FT_DEVICE_NOT_FOUND);
    FT_HANDLE h = nullptr;
    EXPECT_EQ(Open("KQ000002", &h), FT_DEVICE_NOT_FOUND);
}

TEST_F(SerialProviderSysfs, OpensBySerialNumberAndLowersTheLatencyTimer) {
    Pty pty;
    ASSERT_TRUE(pty.Ok());
    Symlink(pty.SlavePath(), dir_ / "dev/ttyUSB2");
    EXPECT_EQ(sysfs_.LatencyTimer("ttyUSB2"), "16\n");

    FT_HANDLE h = nullptr;
    EXPECT_EQ(Open("KQ00000", &h), FT_DEVICE_NOT_FOUND) << "a prefix of a serial number matched";
    EXPECT_EQ(Open("PL2303X1", &h), FT_DEVICE_NOT_FOUND) << "a port of another vendor opened";
    EXPECT_EQ(Open("KQ000010", &h), FT_DEVICE_NOT_FOUND) << "no node for ttyUSB10";
    ASSERT_EQ(Open("KQ000002", &h), FT_OK);
    EXPECT_EQ(sysfs_.LatencyTimer("ttyUSB2"), "1");
    char frame[] = "\x02GU\r\n";
    DWORD n = 0;
    EXPECT_EQ(Api().Write(h, frame, 5, &n), FT_OK);
    EXPECT_EQ(pty.Receive(5, 2000), std::string(frame, 5));
    EXPECT_EQ(Api().Close(h), FT_OK);

    // By description as well.
    ASSERT_EQ(Open("Other Reader", &h, FT_OPEN_BY_DESCRIPTION), FT_OK);
    // The node is removed, as when the reader is unplugged.
    ASSERT_EQ(unlink((dir_ / "dev/ttyUSB2").c_str()), 0);
    EXPECT_TRUE(GoneSoon(h));
    EXPECT_EQ(Api().Close(h), FT_OK);
}
