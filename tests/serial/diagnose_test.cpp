// kqtool's explanation of a failed open, against fake sysfs trees and
// pseudo-terminals standing in for readers.
#include "diagnose.h"
#include "serial_support.h"

#include <gtest/gtest.h>

#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kqserial;
using kqtool::DiagnoseOpenFailure;

namespace {

::testing::AssertionResult Has(const std::string& text, const std::string& piece) {
    if (text.find(piece) != std::string::npos) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "'" << piece << "' not in:\n" << text;
}

struct ChildDiagnosis {
    std::string serial;
    int pipe_write;
};

// Runs the diagnosis in a child process (as nobody when dropping
// privileges) and returns its text.
std::string DiagnoseInChild(const std::string& serial, bool drop_privileges) {
    int fds[2];
    if (pipe(fds) != 0) {
        return "pipe failed";
    }
    ChildDiagnosis job{serial, fds[1]};
    int status = RunInChild(
        drop_privileges,
        [](const void* arg) {
            const auto* j = static_cast<const ChildDiagnosis*>(arg);
            std::string text = DiagnoseOpenFailure(j->serial.c_str());
            return write(j->pipe_write, text.data(), text.size()) ==
                           static_cast<ssize_t>(text.size())
                       ? 0
                       : 1;
        },
        &job);
    close(fds[1]);
    std::string text;
    char buf[512];
    ssize_t r;
    while ((r = read(fds[0], buf, sizeof buf)) > 0) {
        text.append(buf, static_cast<size_t>(r));
    }
    close(fds[0]);
    if (status == kCannotDropPrivileges) {
        return "cannot drop privileges";
    }
    return status == 0 ? text : "child failed with " + std::to_string(status);
}

class Diagnose : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.Path().empty());
        MakeDirs(dir_ / "sys/class/tty");
        MakeDirs(dir_ / "dev");
        sysfs_.AddPlainTty("ttyS0");
    }
    TempDir dir_;
    FakeSysfs sysfs_{dir_ / "sys"};
    ScopedEnv d2xx_{"KQ_D2XX", "serial"};
    ScopedEnv root_{"KQ_SERIAL_SYSFS_ROOT", dir_ / "sys"};
    ScopedEnv dev_{"KQ_SERIAL_DEV_DIR", dir_ / "dev"};
};

} // namespace

TEST_F(Diagnose, NoReaderAttached) {
    std::string text = DiagnoseOpenFailure("KQ000001");
    EXPECT_TRUE(Has(text, "No reader found"));
    EXPECT_TRUE(Has(text, "modprobe ftdi_sio"));
    EXPECT_TRUE(Has(DiagnoseOpenFailure(nullptr), "No reader found"));
}

TEST_F(Diagnose, FtdiDeviceWithoutTheKernelDriver) {
    MakeDirs(dir_ / "sys/bus/usb/devices/1-1");
    WriteFile(dir_ / "sys/bus/usb/devices/1-1/idVendor", "0403\n");
    EXPECT_TRUE(Has(DiagnoseOpenFailure("KQ000001"), "ftdi_sio driver is not bound"));
}

TEST_F(Diagnose, UnknownSerialNumberListsTheReadersFound) {
    sysfs_.AddUsbPort("ttyUSB1", "0403", "KQ000042");
    sysfs_.AddUsbPort("ttyUSB0", "067b", "OTHER");
    std::string text = DiagnoseOpenFailure("KQ000001");
    EXPECT_TRUE(Has(text, "No reader has the serial number 'KQ000001'"));
    EXPECT_TRUE(Has(text, "KQ000042  " + (dir_ / "dev/ttyUSB1")));
    EXPECT_EQ(text.find("OTHER"), std::string::npos) << text;
}

TEST_F(Diagnose, ReaderThatCanBeOpenedNeedsNoExplanation) {
    Pty pty;
    ASSERT_TRUE(pty.Ok());
    sysfs_.AddUsbPort("ttyUSB0", "0403", "KQ000001");
    Symlink(pty.SlavePath(), dir_ / "dev/ttyUSB0");
    EXPECT_EQ(DiagnoseOpenFailure("KQ000001"), "");
    EXPECT_EQ(DiagnoseOpenFailure(pty.SlavePath().c_str()), "");
}

TEST_F(Diagnose, MissingNodeOfADevicePath) {
    EXPECT_TRUE(Has(DiagnoseOpenFailure("/dev/kq-no-such-reader"), "does not exist"));
}

TEST_F(Diagnose, PermissionProblemPointsToTheUdevRule) {
    Pty pty;
    ASSERT_TRUE(pty.Ok());
    sysfs_.AddUsbPort("ttyUSB0", "0403", "KQ000001");
    Symlink(pty.SlavePath(), dir_ / "dev/ttyUSB0");
    // The fake tree must be readable by the child that dropped to nobody.
    chmod(dir_.Path().c_str(), 0755);
    ASSERT_EQ(chmod(pty.SlavePath().c_str(), geteuid() == 0 ? 0600 : 0000), 0);
    if (DiagnoseInChild("KQ000001", true) == "cannot drop privileges") {
        GTEST_SKIP() << "cannot drop root privileges here";
    }
    for (const std::string& serial : {std::string("KQ000001"), pty.SlavePath()}) {
        std::string text = DiagnoseInChild(serial, true);
        EXPECT_TRUE(Has(text, "You may not open"));
        EXPECT_TRUE(Has(text, "packaging/udev/60-kq-reader.rules"));
        EXPECT_TRUE(Has(text, "udevadm"));
        // The opt-in rule: the local line names this reader (by its serial
        // number, which a bare pty path does not have).
        const std::string named = serial == "KQ000001" ? "KQ000001" : "SERIAL";
        EXPECT_TRUE(Has(text, "ATTRS{serial}==\"" + named + "\", ENV{KQ_READER}=\"1\"")) << text;
        EXPECT_EQ(text.find("usermod"), std::string::npos) << "no group to join: " << text;
    }
    // A node that its group may open: joining the group helps too.
    if (geteuid() == 0) {
        ASSERT_EQ(chown(pty.SlavePath().c_str(), 0, 5), 0);
        ASSERT_EQ(chmod(pty.SlavePath().c_str(), 0660), 0);
        std::string text = DiagnoseInChild("KQ000001", true);
        EXPECT_TRUE(Has(text, "usermod -aG "));
        EXPECT_TRUE(Has(text, " nobody\n"));
    }
    chmod(pty.SlavePath().c_str(), 0600);
}

TEST_F(Diagnose, ReaderHeldByAnotherProgram) {
    Pty pty;
    ASSERT_TRUE(pty.Ok());
    int fd = open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    std::string text = DiagnoseInChild(pty.SlavePath(), false);
    close(fd);
    EXPECT_TRUE(Has(text, "in use by another program"));
    EXPECT_TRUE(Has(text, std::to_string(getpid()))) << "the holder is not named";
}

TEST_F(Diagnose, LibraryThatCannotBeUsed) {
    ScopedEnv missing("KQ_D2XX", "/nonexistent/libftd2xx.so");
    EXPECT_TRUE(Has(DiagnoseOpenFailure("KQ000001"), "cannot be loaded"));
    ScopedEnv not_d2xx("KQ_D2XX", "libc.so.6");
    EXPECT_TRUE(Has(DiagnoseOpenFailure("KQ000001"), "not a D2XX library"));
}
