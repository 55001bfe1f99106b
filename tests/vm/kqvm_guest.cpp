// The library against Linux's own FTDI driver, run inside a virtual machine
// (scripts/test-vm.sh): the readers are emulated FTDI chips on a virtual USB
// bus, bound by ftdi_sio as /dev/ttyUSBn, with a kqsim reader model on the
// host end of each. The library reaches them through its serial provider
// (KQ_D2XX unset, so the fallback from the missing vendor library, or
// KQ_D2XX=serial).
//
// Usage: kqvm_guest --reader SERIAL --other SERIAL --kqtool PATH [--hotplug]
//   --reader  serial number of the chip that must be ttyUSB0 (kqsim behind
//             it holds the tags below)
//   --other   serial number of the second chip, ttyUSB1 (kqsim behind it
//             holds one churning tag)
//   --hotplug also unplug and replug the reader: the program asks the host by
//             printing "KQVM-REQUEST <n> unplug|replug" and watches the device
//             go and come back.
// Prints one line per case and "N passed, N failed" at the end; the exit
// status is 0 only when every case passed.
#include "kq.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// ---- The reader models on the host (see scripts/test-vm.sh) ---------------------

constexpr char kTag1[] = "E004010000000001"; // 4:64, memory from block 0 = kTag1Text
constexpr char kTag2[] = "E004010000000002";
constexpr char kSensor[] = "E004015000000001";   // measures 90
constexpr char kChurnTag[] = "E004010000000003"; // behind the other chip, comes and goes
const std::string kTag1Text = "0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF"
                              "0123456789ABCDEF";

struct Options {
    std::string reader;
    std::string other;
    std::string kqtool;
    bool hotplug = false;
};
Options g_opt;

// ---- Checks ------------------------------------------------------------------------

int g_passed = 0;
int g_failed = 0;
int g_case_failures = 0;
std::string g_case;

__attribute__((format(printf, 2, 3))) void Fail(int line, const char* fmt, ...) {
    char text[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    std::printf("    FAILED (line %d): %s\n", line, text);
    std::fflush(stdout);
    ++g_case_failures;
}

#define CHECK(cond)                                                                                \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            Fail(__LINE__, "%s", #cond);                                                           \
        }                                                                                          \
    } while (0)
#define CHECK_EQ(a, b)                                                                             \
    do {                                                                                           \
        long long va_ = static_cast<long long>(a), vb_ = static_cast<long long>(b);                \
        if (va_ != vb_) {                                                                          \
            Fail(__LINE__, "%s == %s (%lld vs %lld)", #a, #b, va_, vb_);                           \
        }                                                                                          \
    } while (0)
#define CHECK_STR(a, b)                                                                            \
    do {                                                                                           \
        std::string sa_(a), sb_(b);                                                                \
        if (sa_ != sb_) {                                                                          \
            Fail(__LINE__, "%s == %s ('%s' vs '%s')", #a, #b, sa_.c_str(), sb_.c_str());           \
        }                                                                                          \
    } while (0)
// A check the rest of the case depends on.
#define REQUIRE(cond)                                                                              \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            Fail(__LINE__, "%s (the case stops here)", #cond);                                     \
            return;                                                                                \
        }                                                                                          \
    } while (0)

__attribute__((format(printf, 1, 2))) void Note(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::printf("    ");
    std::vprintf(fmt, ap);
    std::printf("\n");
    va_end(ap);
    std::fflush(stdout);
}

void RunCase(const char* name, const std::function<void()>& body) {
    g_case = name;
    g_case_failures = 0;
    std::printf("[ RUN  ] %s\n", name);
    std::fflush(stdout);
    auto start = std::chrono::steady_clock::now();
    body();
    long ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now() - start)
                                    .count());
    if (g_case_failures == 0) {
        ++g_passed;
        std::printf("[  OK  ] %s (%ld ms)\n", name, ms);
    } else {
        ++g_failed;
        std::printf("[ FAIL ] %s (%ld ms)\n", name, ms);
    }
    std::fflush(stdout);
}

// ---- Helpers -----------------------------------------------------------------------

using Clock = std::chrono::steady_clock;
double MsSince(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

std::string ReadText(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "r");
    if (f == nullptr) {
        return "(unreadable)";
    }
    char buf[256] = {};
    size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    std::string s(buf, n);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) {
        s.pop_back();
    }
    return s;
}

// The USB serial number sysfs shows for ttyUSBn.
std::string SysfsSerial(int n) {
    return ReadText("/sys/class/tty/ttyUSB" + std::to_string(n) + "/device/../../serial");
}
std::string SysfsVendor(int n) {
    return ReadText("/sys/class/tty/ttyUSB" + std::to_string(n) + "/device/../../idVendor");
}
std::string LatencyTimer(const std::string& port) {
    return ReadText("/sys/bus/usb-serial/devices/" + port + "/latency_timer");
}

// Whether the driver has the port in low-latency mode (ASYNC_LOW_LATENCY),
// asked through a descriptor of our own (root may open an exclusive tty).
bool LowLatencyFlag(const std::string& port) {
    int fd = open(("/dev/" + port).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    serial_struct info;
    bool low = ioctl(fd, TIOCGSERIAL, &info) == 0 && (info.flags & ASYNC_LOW_LATENCY) != 0;
    close(fd);
    return low;
}

int OpenDescriptors() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return -1;
    }
    while (const dirent* e = readdir(dir)) {
        count += e->d_name[0] != '.';
    }
    closedir(dir);
    return count - 1; // the listing's own descriptor
}

// The ttyUSBn of the reader (its serial number in sysfs, its node in /dev),
// or an empty text.
std::string ReaderPort() {
    for (int n = 0; n < 8; ++n) {
        struct stat st;
        std::string name = "ttyUSB" + std::to_string(n);
        if (SysfsSerial(n) == g_opt.reader && stat(("/dev/" + name).c_str(), &st) == 0) {
            return name;
        }
    }
    return {};
}

// Waits until the reader is there (present) or gone; returns its port
// name, or an empty text when it is gone (or did not come back).
bool WaitForReader(bool present, int timeout_ms, std::string* port = nullptr) {
    auto start = Clock::now();
    while (MsSince(start) < timeout_ms) {
        std::string name = ReaderPort();
        if (name.empty() != present) {
            if (port != nullptr) {
                *port = name;
            }
            return true;
        }
        usleep(50000);
    }
    return false;
}

// Asks the host to unplug or replug the reader.
void RequestFromHost(const char* what) {
    static int sequence = 0;
    std::printf("KQVM-REQUEST %d %s\n", ++sequence, what);
    std::fflush(stdout);
}

// The library's notifications for one record, through a pipe.
class Notifier {
  public:
    Notifier() {
        if (pipe(fds_) == 0) {
            fcntl(fds_[0], F_SETFL, O_NONBLOCK);
            fcntl(fds_[1], F_SETFL, O_NONBLOCK);
            fcntl(fds_[0], F_SETFD, FD_CLOEXEC);
            fcntl(fds_[1], F_SETFD, FD_CLOEXEC);
        }
    }
    ~Notifier() {
        close(fds_[0]);
        close(fds_[1]);
    }
    KQ_HWND Target() const { return fds_[1]; }
    // Reads what arrived, waiting up to wait_ms for the first.
    void Pump(int wait_ms) {
        pollfd p{fds_[0], POLLIN, 0};
        if (poll(&p, 1, wait_ms) <= 0) {
            return;
        }
        KQ_NOTIFICATION n;
        while (read(fds_[0], &n, sizeof n) == static_cast<ssize_t>(sizeof n)) {
            seen_.push_back(n);
        }
    }
    bool WaitFor(uint32_t message, int timeout_ms, KQ_NOTIFICATION* out = nullptr) {
        auto start = Clock::now();
        size_t checked = checked_;
        for (;;) {
            for (; checked < seen_.size(); ++checked) {
                if (seen_[checked].Message == message) {
                    if (out != nullptr) {
                        *out = seen_[checked];
                    }
                    checked_ = checked + 1;
                    return true;
                }
            }
            long left = timeout_ms - static_cast<long>(MsSince(start));
            if (left <= 0) {
                return false;
            }
            Pump(static_cast<int>(std::min(left, 100L)));
        }
    }
    void Drain(int ms) {
        auto start = Clock::now();
        while (MsSince(start) < ms) {
            Pump(50);
        }
    }
    int Count(uint32_t message) const {
        return static_cast<int>(std::count_if(seen_.begin(), seen_.end(),
                                              [&](const auto& n) { return n.Message == message; }));
    }

  private:
    int fds_[2] = {-1, -1};
    std::vector<KQ_NOTIFICATION> seen_;
    size_t checked_ = 0;
};

// A zeroed record for one reader.
struct Record {
    explicit Record(const std::string& serial) : serial_no(serial), prop(new KQ_PROPERTY) {
        std::memset(prop.get(), 0, sizeof(KQ_PROPERTY));
        prop->SerialNo = serial_no.c_str();
        prop->ReadTimeout = 500;
        prop->WriteTimeout = 500;
        prop->StopFlag = 1;
        prop->hWnd = notifier.Target();
        KQ_Init_PROPERTY(prop.get());
    }
    ~Record() {
        KQ_LoopStop(prop.get());
        if (prop->Handle != nullptr) {
            KQ_CloseUSB(prop.get());
        }
    }
    KQ_PROPERTY* operator->() { return prop.get(); }
    KQ_PROPERTY* get() { return prop.get(); }
    std::string serial_no;
    Notifier notifier;
    std::unique_ptr<KQ_PROPERTY> prop;
};

// Requests as a client fills them in: KQ_Init_* first, then the fields.
KQ_IN_SR SelectReadRequest(const char* uid, int start, int count) {
    KQ_IN_SR sr;
    KQ_Init_IN_SR(&sr);
    sr.StartBlock = static_cast<unsigned char>(start);
    sr.BlockCount = static_cast<unsigned char>(count);
    std::strcpy(sr.UID, uid);
    return sr;
}
KQ_IN_SW SelectWriteRequest(const char* uid, int start, int count, const char* text) {
    KQ_IN_SW sw;
    KQ_Init_IN_SW(&sw);
    sw.StartBlock = static_cast<unsigned char>(start);
    sw.BlockCount = static_cast<unsigned char>(count);
    std::strcpy(sw.TagInfo.UID, uid);
    std::strcpy(sw.TagInfo.Data, text);
    return sw;
}
KQ_TAGINFO ClearedTagInfo() {
    KQ_TAGINFO out;
    KQ_Init_TAGINFO(&out);
    return out;
}
KQ_IN_SNSR SensorRequest(const char* uid, int channel) {
    KQ_IN_SNSR in;
    KQ_Init_IN_SNSR(&in);
    std::strcpy(in.UID, uid);
    in.Channel = static_cast<unsigned char>(channel);
    return in;
}

struct TagText {
    const char* uid;
    const char* text;
};
// The record's multi-write input: count blocks from block start of each tag.
void SetMultiWrite(Record& r, int start, int count, std::initializer_list<TagText> tags) {
    r->IN_MW.StartBlock = static_cast<unsigned char>(start);
    r->IN_MW.BlockCount = static_cast<unsigned char>(count);
    int i = 0;
    for (const TagText& t : tags) {
        std::strcpy(r->IN_MW.TagInfo[i].UID, t.uid);
        std::strcpy(r->IN_MW.TagInfo[i].Data, t.text);
        ++i;
    }
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// Median time of rounds calls of op, which must succeed.
double TimeOperation(const char* name, int rounds, const std::function<int()>& op) {
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) {
        auto start = Clock::now();
        int rc = op();
        times.push_back(MsSince(start));
        if (rc != KQ_OK) {
            Fail(__LINE__, "%s returned %d while timed", name, rc);
            break;
        }
    }
    return Median(times);
}

// ---- Child processes --------------------------------------------------------------

struct ChildResult {
    int status = -1;
    std::string output;
};

// Runs fn in a child process, as user nobody when drop is set; what it
// prints on stdout and stderr comes back.
ChildResult InChild(bool drop, const std::function<int()>& fn) {
    ChildResult result;
    int out[2];
    if (pipe(out) != 0) {
        return result;
    }
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(out[1], STDERR_FILENO);
        close(out[0]);
        close(out[1]);
        if (drop && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
            _exit(120);
        }
        int rc = fn();
        std::fflush(nullptr);
        _exit(rc);
    }
    close(out[1]);
    char buf[1024];
    ssize_t n;
    while ((n = read(out[0], buf, sizeof buf)) > 0) {
        result.output.append(buf, static_cast<size_t>(n));
    }
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}
ChildResult AsNobody(const std::function<int()>& fn) {
    return InChild(true, fn);
}

// Runs kqtool with these arguments in a child process.
ChildResult Kqtool(bool drop, const std::vector<std::string>& args) {
    return InChild(drop, [&] {
        std::vector<char*> argv{const_cast<char*>(g_opt.kqtool.c_str())};
        for (const auto& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        return 127;
    });
}

// ---- Cases: the readers plugged in -------------------------------------------------

void SerialNumbersFromSysfs() {
    // What the kernel shows, so that a mismatch below is the library's.
    CHECK_STR(SysfsVendor(0), "0403");
    CHECK_STR(SysfsSerial(0), g_opt.reader);
    CHECK_STR(SysfsSerial(1), g_opt.other);
    Note("latency_timer of ttyUSB0 as found: %s", LatencyTimer("ttyUSB0").c_str());
    // The first FTDI port in ttyUSB order, not the first serial number in
    // sort order (the other chip's sorts first) nor the directory's order.
    char serial[KQ_SERIALNO_BUFFER_SIZE];
    std::memset(serial, 'x', sizeof serial);
    CHECK_EQ(KQ_GetSerialNo(serial), KQ_OK);
    CHECK_STR(serial, g_opt.reader);
}

void OpenBySerialAndPathExclusively() {
    int fds_before = OpenDescriptors();
    {
        Record r(g_opt.reader);
        REQUIRE(KQ_OpenUSB(r.get()) == KQ_OK);
        CHECK(r->Handle != nullptr);
        CHECK_EQ(KQ_CheckStatusUSB(r.get()), 0);
        CHECK_EQ(KQ_GetUID(r.get()), KQ_OK);
        CHECK_EQ(r->OUT_GU.Count, 3);

        // A second open of the same reader fails, by either name.
        Record again(g_opt.reader);
        CHECK_EQ(KQ_OpenUSB(again.get()), KQ_ERR_USB);
        CHECK(again->Handle == nullptr);
        Record by_path("/dev/ttyUSB0");
        CHECK_EQ(KQ_OpenUSB(by_path.get()), KQ_ERR_USB);
        // Another process as well, root's too.
        ChildResult child = InChild(false, [] {
            Record r2(g_opt.reader);
            return KQ_OpenUSB(r2.get());
        });
        CHECK_EQ(child.status, KQ_ERR_USB);

        // The other chip is a reader of its own, opened by its serial number
        // while the first one is held.
        Record other(g_opt.other);
        CHECK_EQ(KQ_OpenUSB(other.get()), KQ_OK);
        CHECK_EQ(KQ_CheckStatusUSB(other.get()), 0);
        CHECK_EQ(KQ_BuzzerCommand(other.get(), 1), KQ_OK);
        CHECK_EQ(KQ_CloseUSB(other.get()), KQ_OK);

        CHECK_EQ(KQ_CloseUSB(r.get()), KQ_OK);
        CHECK(r->Handle == nullptr);
        CHECK_EQ(KQ_CloseUSB(r.get()), KQ_ERR_USB);
    }
    {
        Record r("/dev/ttyUSB0");
        REQUIRE(KQ_OpenUSB(r.get()) == KQ_OK);
        CHECK_EQ(KQ_GetUID(r.get()), KQ_OK);
        CHECK_EQ(r->OUT_GU.Count, 3);
        Record again(g_opt.reader);
        CHECK_EQ(KQ_OpenUSB(again.get()), KQ_ERR_USB);
        CHECK_EQ(KQ_CloseUSB(r.get()), KQ_OK);
    }
    {
        Record missing("KQ-NO-SUCH-READER");
        CHECK_EQ(KQ_OpenUSB(missing.get()), KQ_ERR_USB);
    }
    CHECK_EQ(OpenDescriptors(), fds_before);
}

void LatencyTimerAndExchangeTimes() {
    Record r(g_opt.reader);
    REQUIRE(KQ_OpenUSB(r.get()) == KQ_OK);
    CHECK_STR(LatencyTimer("ttyUSB0"), "1");
    CHECK(LowLatencyFlag("ttyUSB0"));

    std::strcpy(r->IN_TA, "ABC");
    KQ_IN_SNSR sensor = SensorRequest(kSensor, 1);
    KQ_OUT_SNSR value;
    double uid = TimeOperation("KQ_GetUID", 10, [&] { return KQ_GetUID(r.get()); });
    double ta = TimeOperation("KQ_TagCommand", 10, [&] { return KQ_TagCommand(r.get()); });
    double sn = TimeOperation("KQ_SensorCommand", 3,
                              [&] { return KQ_SensorCommand(r.get(), &sensor, &value); });
    Note("latency_timer %s: median KQ_GetUID %.1f ms, KQ_TagCommand %.1f ms, "
         "KQ_SensorCommand %.1f ms",
         LatencyTimer("ttyUSB0").c_str(), uid, ta, sn);
    CHECK_EQ(KQ_CloseUSB(r.get()), KQ_OK);
    // It stays after the close, until the chip is unplugged.
    CHECK_STR(LatencyTimer("ttyUSB0"), "1");
}

void OneShotOperations() {
    Record r(g_opt.reader);
    REQUIRE(KQ_OpenUSB(r.get()) == KQ_OK);
    REQUIRE(KQ_GetUID(r.get()) == KQ_OK);
    CHECK_EQ(r->OUT_GU.Count, 3);
    CHECK_STR(r->OUT_GU.TagInfo[0].UID, kTag1);
    CHECK_STR(r->OUT_GU.TagInfo[1].UID, kTag2);
    CHECK_STR(r->OUT_GU.TagInfo[2].UID, kSensor);
    CHECK_EQ(KQ_BuzzerCommand(r.get(), 1), KQ_OK);

    // kqsim's tags answer a tag command with its text reversed.
    std::strcpy(r->IN_TA, "0123ABC");
    CHECK_EQ(KQ_TagCommand(r.get()), KQ_OK);
    CHECK_STR(r->OUT_TA, "CBA3210");
    r->BuzzerOn = 1;
    r->BuzzerTime = 1;
    CHECK_EQ(KQ_GetUID(r.get()), KQ_OK);
    r->BuzzerOn = 0;

    // Select read over two exchanges (16 blocks, then 4).
    KQ_IN_SR sr = SelectReadRequest(kTag1, 0, 20);
    KQ_TAGINFO out = ClearedTagInfo();
    CHECK_EQ(KQ_SelectRead(r.get(), &sr, &out), KQ_OK);
    CHECK_STR(out.UID, kTag1);
    CHECK_STR(out.Data, kTag1Text);

    KQ_IN_SW sw = SelectWriteRequest(kTag1, 30, 3, "WXYZwxyz4321");
    CHECK_EQ(KQ_SelectWrite(r.get(), &sw), KQ_OK);
    sr.StartBlock = 30;
    sr.BlockCount = 3;
    KQ_Init_TAGINFO(&out);
    CHECK_EQ(KQ_SelectRead(r.get(), &sr, &out), KQ_OK);
    CHECK_STR(out.Data, "WXYZwxyz4321");
    std::strcpy(sr.UID, "E0040100000000FF"); // not in the field: the reader's status
    CHECK_EQ(KQ_SelectRead(r.get(), &sr, &out), 2);

    // Multi write, then multi read of every tag in the field.
    SetMultiWrite(r, 40, 2, {{kTag1, "11112222"}, {kTag2, "33334444"}});
    CHECK_EQ(KQ_MultiWrite(r.get()), KQ_OK);
    CHECK_EQ(r->OUT_MW.TagCount, 3);
    CHECK_EQ(r->OUT_MW.DoneCount, 2);
    r->IN_MR.StartBlock = 40;
    r->IN_MR.BlockCount = 2;
    CHECK_EQ(KQ_MultiRead(r.get()), KQ_OK);
    CHECK_EQ(r->OUT_MR.TagCount, 3);
    CHECK_STR(r->OUT_MR.TagInfo[0].Data, "11112222");
    CHECK_STR(r->OUT_MR.TagInfo[1].Data, "33334444");

    KQ_IN_SNSR in = SensorRequest(kSensor, 1);
    KQ_OUT_SNSR value;
    std::memset(&value, 0xFF, sizeof value);
    CHECK_EQ(KQ_SensorCommand(r.get(), &in, &value), KQ_OK);
    CHECK_EQ(value.Value, 90);
    CHECK_EQ(value.Reserved[0], 0);

    // The clearing functions, as a client calls them between operations.
    std::memset(&out, 'x', sizeof out);
    CHECK_EQ(KQ_Init_TAGINFO(&out), KQ_OK);
    CHECK_EQ(out.UID[0] + out.Data[2048], 0);
    CHECK_EQ(KQ_Init_OUT_TA(&r->OUT_TA), KQ_OK);
    CHECK_EQ(KQ_Init_IN_TA(&r->IN_TA), KQ_OK);
    CHECK_EQ(KQ_Init_OUT_SNSR(&value), KQ_OK);
    CHECK_EQ(value.Value, 0);
    CHECK_EQ(KQ_Init_OUT_GU(&r->OUT_GU), KQ_OK);
    CHECK_EQ(KQ_Init_IN_MW(&r->IN_MW), KQ_OK);
    CHECK_EQ(KQ_Init_OUT_MR(&r->OUT_MR), KQ_OK);
    CHECK_EQ(KQ_Init_OUT_MW(&r->OUT_MW), KQ_OK);
    CHECK_EQ(r->OUT_GU.Count + r->OUT_MR.TagCount + r->OUT_MW.TagCount, 0);
    CHECK_EQ(KQ_CloseUSB(r.get()), KQ_OK);
}

// Starts a loop with start, waits for its first report, stops it.
void RunLoop(Record& r, const char* name, int kind, const std::function<int()>& start) {
    r->LoopMode = 1;
    CHECK_EQ(start(), KQ_OK);
    CHECK(r->hThread != nullptr);
    CHECK_EQ(r->LoopKind, kind);
    KQ_NOTIFICATION n;
    if (!r.notifier.WaitFor(WM_KQ_DATA, 10000, &n)) {
        Fail(__LINE__, "no WM_KQ_DATA from the %s loop", name);
    } else {
        CHECK_EQ(n.lParam, reinterpret_cast<uintptr_t>(r.get()));
    }
    CHECK_EQ(KQ_LoopStop(r.get()), KQ_OK);
    CHECK(r->hThread == nullptr);
    CHECK(r.notifier.WaitFor(WM_KQ_LOOPEND, 3000));
    CHECK_EQ(r.notifier.Count(WM_KQ_USBERROR), 0);
    r->LoopMode = 0;
}

void LoopModeWithNotifications() {
    Record r(g_opt.reader);
    REQUIRE(KQ_OpenUSB(r.get()) == KQ_OK);
    RunLoop(r, "UID", KQ_LOOP_UID, [&] { return KQ_GetUID(r.get()); });
    CHECK_EQ(r->OUT_GU.Count, 3);

    r->IN_MR.StartBlock = 0;
    r->IN_MR.BlockCount = 1;
    RunLoop(r, "multi-read", KQ_LOOP_MULTIREAD, [&] { return KQ_MultiRead(r.get()); });
    CHECK_STR(r->OUT_MR.TagInfo[0].UID, kTag1);
    CHECK_STR(r->OUT_MR.TagInfo[0].Data, "0123");

    SetMultiWrite(r, 50, 1, {{kTag2, "MWLP"}});
    RunLoop(r, "multi-write", KQ_LOOP_MULTIWRITE, [&] { return KQ_MultiWrite(r.get()); });
    KQ_IN_SR sr = SelectReadRequest(kTag2, 50, 1);
    KQ_TAGINFO out = ClearedTagInfo();
    CHECK_EQ(KQ_SelectRead(r.get(), &sr, &out), KQ_OK);
    CHECK_STR(out.Data, "MWLP");
    CHECK_EQ(KQ_GetUID(r.get()), KQ_OK);
    CHECK_EQ(KQ_CloseUSB(r.get()), KQ_OK);

    // The tag-command loop starts only when the first exchange fails: the
    // other chip's tag comes and goes, so try until it is away.
    Record other(g_opt.other);
    REQUIRE(KQ_OpenUSB(other.get()) == KQ_OK);
    // Its tag is in the field half of the time.
    auto seen = Clock::now();
    while (MsSince(seen) < 10000 && (KQ_GetUID(other.get()) != KQ_OK || other->OUT_GU.Count == 0)) {
        usleep(200000);
    }
    CHECK_EQ(other->OUT_GU.Count, 1);
    CHECK_STR(other->OUT_GU.TagInfo[0].UID, kChurnTag);
    std::strcpy(other->IN_TA, "XY");
    other->LoopMode = 1;
    auto start = Clock::now();
    while (MsSince(start) < 15000) {
        int rc = KQ_TagCommand(other.get());
        CHECK_EQ(rc, KQ_OK);
        if (rc != KQ_OK || other->hThread != nullptr) {
            break;
        }
        usleep(200000);
    }
    REQUIRE(other->hThread != nullptr);
    CHECK_EQ(other->LoopKind, KQ_LOOP_TAGCOMMAND);
    CHECK(other.notifier.WaitFor(WM_KQ_DATA, 15000));
    CHECK_EQ(KQ_LoopStop(other.get()), KQ_OK);
    CHECK(other.notifier.WaitFor(WM_KQ_LOOPEND, 3000));
    CHECK_STR(other->OUT_TA, "YX");
    CHECK_EQ(KQ_CloseUSB(other.get()), KQ_OK);
}

// ---- Cases: kqtool, and a user without access to the device node ---------------------

void KqtoolAndAUserWithoutAccess() {
    // kqtool finds the reader by itself and lists its tags.
    ChildResult root = Kqtool(false, {"--real", "inventory"});
    if (root.status != 0 || root.output.find(kTag1) == std::string::npos ||
        root.output.find(kSensor) == std::string::npos) {
        Fail(__LINE__, "kqtool --real inventory: status %d, output:\n%s", root.status,
             root.output.c_str());
    }

    // The node as a system without the udev rule leaves it: root's alone.
    REQUIRE(chown("/dev/ttyUSB0", 0, 0) == 0 && chmod("/dev/ttyUSB0", 0660) == 0);
    ChildResult probe = AsNobody([] { return access("/dev/ttyUSB0", R_OK | W_OK) == 0 ? 1 : 0; });
    REQUIRE(probe.status == 0);

    // The library: the serial number is readable from sysfs, the device is
    // not to be opened, by serial number or by path.
    ChildResult lib = AsNobody([] {
        char serial[KQ_SERIALNO_BUFFER_SIZE] = {};
        if (KQ_GetSerialNo(serial) != KQ_OK || g_opt.reader != serial) {
            return 1;
        }
        Record by_serial(g_opt.reader);
        Record by_path("/dev/ttyUSB0");
        int a = KQ_OpenUSB(by_serial.get());
        int b = KQ_OpenUSB(by_path.get());
        std::printf("KQ_OpenUSB by serial number %d, by path %d\n", a, b);
        return a == KQ_ERR_USB && b == KQ_ERR_USB && by_serial->Handle == nullptr ? 0 : 2;
    });
    if (lib.status != 0) {
        Fail(__LINE__, "library as nobody: status %d, output: %s", lib.status, lib.output.c_str());
    }

    // kqtool says why and what to do, with the reader found by itself or
    // named by its path.
    const std::vector<std::vector<std::string>> commands = {
        {"--real", "inventory"},
        {"--real", "--device", "/dev/ttyUSB0", "inventory"},
    };
    for (const auto& command : commands) {
        ChildResult tool = Kqtool(true, command);
        bool diagnosed = tool.output.find("You may not open /dev/ttyUSB0") != std::string::npos &&
                         tool.output.find("60-kq-reader.rules") != std::string::npos;
        if (tool.status == 0 || tool.status == 127 || !diagnosed) {
            Fail(__LINE__, "kqtool %s as nobody: status %d, output:\n%s", command[1].c_str(),
                 tool.status, tool.output.c_str());
        }
    }
    // Root still may.
    Record r(g_opt.reader);
    CHECK_EQ(KQ_OpenUSB(r.get()), KQ_OK);
    CHECK_EQ(KQ_CloseUSB(r.get()), KQ_OK);
}

// ---- Cases: unplug and replug -----------------------------------------------------

const int kPlugTimeoutMs = 30000;

void UnplugDuringLoop() {
    Record r(g_opt.reader);
    int fds_before = OpenDescriptors();
    REQUIRE(KQ_OpenUSB(r.get()) == KQ_OK);
    r->LoopMode = 1;
    REQUIRE(KQ_GetUID(r.get()) == KQ_OK);
    REQUIRE(r.notifier.WaitFor(WM_KQ_DATA, 10000));

    RequestFromHost("unplug");
    auto start = Clock::now();
    CHECK(WaitForReader(false, kPlugTimeoutMs));
    CHECK(r.notifier.WaitFor(WM_KQ_USBERROR, 15000));
    Note("WM_KQ_USBERROR %.0f ms after the unplug request", MsSince(start));
    r.notifier.Drain(2000); // a second message gets every chance
    CHECK_EQ(r.notifier.Count(WM_KQ_USBERROR), 1);
    CHECK_EQ(__atomic_load_n(&r->StopFlag, __ATOMIC_ACQUIRE), 1);
    CHECK(KQ_CheckStatusUSB(r.get()) != 0);

    auto stop = Clock::now();
    CHECK_EQ(KQ_LoopStop(r.get()), KQ_OK);
    CHECK(MsSince(stop) < 5000);
    r.notifier.Drain(300);
    CHECK_EQ(r.notifier.Count(WM_KQ_LOOPEND), 0);
    CHECK(r->hThread == nullptr);
    CHECK_EQ(KQ_CloseUSB(r.get()), KQ_OK);
    CHECK(r->Handle == nullptr);
    CHECK_EQ(OpenDescriptors(), fds_before);

    // Gone is gone: the envelope's reopen fails at once, as does a new open.
    r->LoopMode = 0;
    auto again = Clock::now();
    CHECK_EQ(KQ_GetUID(r.get()), KQ_ERR_USB);
    CHECK_EQ(KQ_OpenUSB(r.get()), KQ_ERR_USB);
    CHECK(MsSince(again) < 5000);
    CHECK_EQ(OpenDescriptors(), fds_before);

    // The other chip is now the first FTDI port, and kqtool names the
    // readers it finds instead of the missing one.
    char serial[KQ_SERIALNO_BUFFER_SIZE] = {};
    CHECK_EQ(KQ_GetSerialNo(serial), KQ_OK);
    CHECK_STR(serial, g_opt.other);
    ChildResult tool = Kqtool(false, {"--real", "--device", g_opt.reader, "inventory"});
    bool named = tool.output.find("No reader has the serial number '" + g_opt.reader + "'") !=
                     std::string::npos &&
                 tool.output.find(g_opt.other + "  /dev/ttyUSB1") != std::string::npos;
    if (tool.status == 0 || !named) {
        Fail(__LINE__, "kqtool inventory of an unplugged reader: status %d, output:\n%s",
             tool.status, tool.output.c_str());
    }
}

void ReplugAndOpen() {
    RequestFromHost("replug");
    std::string port;
    REQUIRE(WaitForReader(true, kPlugTimeoutMs, &port));
    // Nothing held the old port: the new chip gets its number again.
    CHECK_STR(port, "ttyUSB0");
    // A new chip starts with its own timer (not lowered yet).
    std::string fresh = LatencyTimer(port);
    Note("latency_timer of the new chip: %s", fresh.c_str());
    CHECK(fresh != "1");
    CHECK(!LowLatencyFlag(port));
    Record r(g_opt.reader);
    REQUIRE(KQ_OpenUSB(r.get()) == KQ_OK);
    CHECK_STR(LatencyTimer(port), "1");
    CHECK(LowLatencyFlag(port));
    CHECK_EQ(KQ_GetUID(r.get()), KQ_OK);
    CHECK_EQ(r->OUT_GU.Count, 3);
    CHECK_EQ(KQ_CloseUSB(r.get()), KQ_OK);
}

void UnplugDuringOneShotThenReplug() {
    Record r(g_opt.reader);
    int fds_closed = OpenDescriptors();
    REQUIRE(KQ_OpenUSB(r.get()) == KQ_OK);
    int fds_open = OpenDescriptors();

    // Long select reads (four exchanges of 300 ms and more each) one after
    // the other, until one fails: the unplug lands in the middle of one.
    std::atomic<int> failed_rc{KQ_OK};
    std::atomic<int> calls{0};
    double failed_ms = 0;
    std::thread reader([&] {
        auto begin = Clock::now();
        while (MsSince(begin) < 60000) {
            KQ_IN_SR sr = SelectReadRequest(kTag1, 0, 64);
            KQ_TAGINFO out = ClearedTagInfo();
            auto start = Clock::now();
            int rc = KQ_SelectRead(r.get(), &sr, &out);
            ++calls;
            if (rc != KQ_OK) {
                failed_ms = MsSince(start);
                failed_rc = rc;
                return;
            }
        }
    });
    while (calls == 0) {
        usleep(50000);
    }
    RequestFromHost("unplug");
    reader.join();
    int rc = failed_rc;
    Note("the select read in flight returned %d after %.0f ms (%d calls)", rc, failed_ms,
         calls.load());
    CHECK(rc == KQ_ERR_SEND || rc == KQ_ERR_RECEIVE || rc == KQ_ERR_NOREPLY);
    CHECK(failed_ms < 10000);
    CHECK(WaitForReader(false, kPlugTimeoutMs));
    CHECK(KQ_CheckStatusUSB(r.get()) != 0);

    // Back with the same serial number, under a new number: the library
    // still holds the old port, so the kernel cannot hand it out again. The
    // next operation with the connection check reopens the reader by its
    // serial number, and the old descriptor is gone.
    RequestFromHost("replug");
    std::string port;
    REQUIRE(WaitForReader(true, kPlugTimeoutMs, &port));
    Note("the reader came back as %s", port.c_str());
    void* old_handle = r->Handle;
    CHECK_EQ(KQ_GetUID(r.get()), KQ_OK);
    CHECK_EQ(r->OUT_GU.Count, 3);
    CHECK(r->Handle != nullptr && r->Handle != old_handle);
    CHECK_EQ(KQ_CheckStatusUSB(r.get()), 0);
    CHECK_STR(LatencyTimer(port), "1");
    CHECK_EQ(OpenDescriptors(), fds_open);
    CHECK_EQ(KQ_CloseUSB(r.get()), KQ_OK);
    CHECK_EQ(OpenDescriptors(), fds_closed);
}

bool ParseArgs(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--hotplug") {
            g_opt.hotplug = true;
        } else if (i + 1 < argc && a == "--reader") {
            g_opt.reader = argv[++i];
        } else if (i + 1 < argc && a == "--other") {
            g_opt.other = argv[++i];
        } else if (i + 1 < argc && a == "--kqtool") {
            g_opt.kqtool = argv[++i];
        } else {
            return false;
        }
    }
    return !g_opt.reader.empty() && !g_opt.other.empty() && !g_opt.kqtool.empty();
}

} // namespace

int main(int argc, char** argv) {
    if (!ParseArgs(argc, argv)) {
        std::fprintf(stderr, "usage: kqvm_guest --reader SERIAL --other SERIAL --kqtool PATH "
                             "[--hotplug]\n");
        return 2;
    }
    const char* d2xx = std::getenv("KQ_D2XX");
    std::printf("kqvm_guest: KQ_D2XX=%s, readers %s (ttyUSB0) and %s\n",
                d2xx != nullptr ? d2xx : "(unset)", g_opt.reader.c_str(), g_opt.other.c_str());
    RunCase("SerialNumbersFromSysfs", SerialNumbersFromSysfs);
    RunCase("OpenBySerialAndPathExclusively", OpenBySerialAndPathExclusively);
    RunCase("LatencyTimerAndExchangeTimes", LatencyTimerAndExchangeTimes);
    RunCase("OneShotOperations", OneShotOperations);
    RunCase("LoopModeWithNotifications", LoopModeWithNotifications);
    RunCase("KqtoolAndAUserWithoutAccess", KqtoolAndAUserWithoutAccess);
    if (g_opt.hotplug) {
        RunCase("UnplugDuringLoop", UnplugDuringLoop);
        RunCase("ReplugAndOpen", ReplugAndOpen);
        RunCase("UnplugDuringOneShotThenReplug", UnplugDuringOneShotThenReplug);
    }
    std::printf("kqvm_guest: %d passed, %d failed\n", g_passed, g_failed);
    std::fflush(stdout);
    return g_failed == 0 ? 0 : 1;
}
