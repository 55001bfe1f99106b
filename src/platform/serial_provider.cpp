// The built-in serial provider (Linux): the D2XX functions the library binds,
// served by the kernel's FTDI serial driver through the tty interface.
//
// Devices are found through sysfs: every /sys/class/tty/ttyUSBn whose USB
// device has vendor id 0403, listed in ttyUSB order, with the USB serial
// number as its D2XX serial number. A serial text that starts with "/dev/"
// opens that path directly (a udev symlink, a pseudo-terminal).
//
// Two environment variables move the places looked at, for tests and
// unusual systems:
//   KQ_SERIAL_SYSFS_ROOT  sysfs root (default /sys)
//   KQ_SERIAL_DEV_DIR     folder of the ttyUSBn nodes (default /dev)
//
// Handles are numbers (slot and generation), never pointers: a handle that
// was closed, or never was one, gives FT_INVALID_HANDLE instead of touching
// freed memory. A device counts as gone once its line was hung up (unplugged,
// or the far side of a pseudo-terminal closed) or the node it was opened
// through was removed or names another device; every call on it then fails
// with FT_IO_ERROR, and FT_Close still releases it.
#include "link/d2xx.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <climits>

namespace kq {
namespace {

constexpr char kFtdiVendorId[] = "0403";
constexpr int kMaxPorts = 256;
constexpr size_t kPathMax = 1024;
constexpr int kSlotBits = 6;
constexpr int kSlots = 1 << kSlotBits;

// One open device.
struct Port {
    bool used;
    bool closing; // FT_Close called; released when the last call returns
    bool gone;
    int busy; // calls in progress on this handle
    uintptr_t generation;
    int fd;
    dev_t rdev;    // device number of the node at open time
    ULONG read_ms; // 0 = no limit
    ULONG write_ms;
    char path[kPathMax]; // the node as it was opened (a symlink stays one)
};

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
Port g_ports[kSlots];
uintptr_t g_generation;

// ---- Time ------------------------------------------------------------------

int64_t NowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Milliseconds left until deadline for poll(): -1 without a deadline, 0 once
// it has passed.
int PollWait(int64_t deadline) {
    if (deadline < 0) {
        return -1;
    }
    int64_t left = deadline - NowMs();
    if (left <= 0) {
        return 0;
    }
    return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

int64_t DeadlineAfter(ULONG ms) {
    return ms == 0 ? -1 : NowMs() + static_cast<int64_t>(ms);
}

// ---- Text and files ----------------------------------------------------------

const char* EnvOr(const char* name, const char* fallback) {
    const char* value = getenv(name);
    return value != nullptr && value[0] != '\0' ? value : fallback;
}

const char* SysfsRoot() {
    return EnvOr("KQ_SERIAL_SYSFS_ROOT", "/sys");
}

const char* DevDir() {
    return EnvOr("KQ_SERIAL_DEV_DIR", "/dev");
}

// Bounded copy that always terminates (cap > 0).
void CopyText(char* dest, size_t cap, const char* src) {
    size_t n = strnlen(src, cap - 1);
    memcpy(dest, src, n);
    dest[n] = '\0';
}

// Reads a sysfs attribute into out without its trailing newline. False when
// it cannot be read.
bool ReadAttribute(const char* path, char* out, size_t cap) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    ssize_t n = read(fd, out, cap - 1);
    close(fd);
    if (n < 0) {
        return false;
    }
    while (n > 0 && (out[n - 1] == '\n' || out[n - 1] == '\r')) {
        --n;
    }
    out[n] = '\0';
    return true;
}

// ---- Listing -------------------------------------------------------------------

// The n of a name "ttyUSBn", or -1.
int PortNumber(const char* name) {
    if (strncmp(name, "ttyUSB", 6) != 0 || name[6] == '\0') {
        return -1;
    }
    int n = 0;
    for (const char* p = name + 6; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9' || n > 100000) {
            return -1;
        }
        n = n * 10 + (*p - '0');
    }
    return n;
}

// The numbers of every ttyUSBn in sysfs, ascending. Returns their count.
int ScanPorts(int* numbers, int cap) {
    char dir_path[PATH_MAX];
    snprintf(dir_path, sizeof dir_path, "%s/class/tty", SysfsRoot());
    DIR* dir = opendir(dir_path);
    if (dir == nullptr) {
        return 0;
    }
    int count = 0;
    while (const dirent* entry = readdir(dir)) {
        int n = PortNumber(entry->d_name);
        if (n < 0 || count == cap) {
            continue;
        }
        int i = count++;
        while (i > 0 && numbers[i - 1] > n) {
            numbers[i] = numbers[i - 1];
            --i;
        }
        numbers[i] = n;
    }
    closedir(dir);
    return count;
}

// What sysfs tells of one port's USB device.
struct PortInfo {
    char serial[kListTextMax];
    char description[kListTextMax];
};

// True when ttyUSBn sits on an FTDI USB device; fills info. The USB device
// is the nearest folder above the port's device that has an idVendor.
bool ReadPortInfo(int n, PortInfo* info) {
    char link[PATH_MAX];
    char dir[PATH_MAX];
    snprintf(link, sizeof link, "%s/class/tty/ttyUSB%d/device", SysfsRoot(), n);
    if (realpath(link, dir) == nullptr) {
        return false;
    }
    for (int level = 0; level < 6; ++level) {
        char attr[PATH_MAX + 16];
        char vendor[16];
        snprintf(attr, sizeof attr, "%s/idVendor", dir);
        if (ReadAttribute(attr, vendor, sizeof vendor)) {
            if (strcmp(vendor, kFtdiVendorId) != 0) {
                return false;
            }
            snprintf(attr, sizeof attr, "%s/serial", dir);
            if (!ReadAttribute(attr, info->serial, sizeof info->serial)) {
                info->serial[0] = '\0';
            }
            snprintf(attr, sizeof attr, "%s/product", dir);
            if (!ReadAttribute(attr, info->description, sizeof info->description)) {
                info->description[0] = '\0';
            }
            return true;
        }
        char* slash = strrchr(dir, '/');
        if (slash == nullptr || slash == dir) {
            return false;
        }
        *slash = '\0';
    }
    return false;
}

// Number of FTDI ports.
int CountFtdiPorts() {
    int all[kMaxPorts];
    int total = ScanPorts(all, kMaxPorts);
    int count = 0;
    PortInfo info;
    for (int i = 0; i < total; ++i) {
        count += ReadPortInfo(all[i], &info) ? 1 : 0;
    }
    return count;
}

// The index-th FTDI port in ttyUSB order: its number and sysfs facts. False
// when there are not that many.
bool FtdiPortAt(DWORD index, int* number, PortInfo* info) {
    int all[kMaxPorts];
    int total = ScanPorts(all, kMaxPorts);
    DWORD seen = 0;
    for (int i = 0; i < total; ++i) {
        if (ReadPortInfo(all[i], info) && seen++ == index) {
            *number = all[i];
            return true;
        }
    }
    return false;
}

const char* ListedText(const PortInfo& info, DWORD flags) {
    return (flags & FT_OPEN_BY_DESCRIPTION) != 0 ? info.description : info.serial;
}

// ---- Handles -------------------------------------------------------------------

FT_HANDLE EncodeHandle(int slot, uintptr_t generation) {
    return reinterpret_cast<FT_HANDLE>((generation << kSlotBits) | static_cast<uintptr_t>(slot));
}

// The slot a live handle names, or -1. Call with g_lock held.
int SlotOfLocked(FT_HANDLE handle) {
    uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    int slot = static_cast<int>(value & (kSlots - 1));
    const Port& port = g_ports[slot];
    if (value == 0 || !port.used || port.closing || port.generation != (value >> kSlotBits)) {
        return -1;
    }
    return slot;
}

// Frees the slot and hands back its descriptor, which the caller closes
// after unlocking (a tty close may wait for its output to drain).
int TakeDescriptorLocked(int slot) {
    Port& port = g_ports[slot];
    int fd = port.fd;
    port.used = false;
    port.closing = false;
    port.fd = -1;
    return fd;
}

void CloseDescriptor(int fd) {
    if (fd >= 0) {
        ioctl(fd, TIOCNXCL);
        close(fd);
    }
}

// A call in progress on one handle: the slot is pinned until Release.
struct Use {
    int slot;
    int fd;
    ULONG read_ms;
    ULONG write_ms;
};

// Pins the handle's slot (the caller must Release it) and takes what the
// call needs from it. FT_INVALID_HANDLE for an unknown, null or closed
// handle.
FT_STATUS Acquire(FT_HANDLE handle, Use* use) {
    pthread_mutex_lock(&g_lock);
    int slot = SlotOfLocked(handle);
    if (slot < 0) {
        pthread_mutex_unlock(&g_lock);
        return FT_INVALID_HANDLE;
    }
    Port& port = g_ports[slot];
    ++port.busy;
    use->slot = slot;
    use->fd = port.fd;
    use->read_ms = port.read_ms;
    use->write_ms = port.write_ms;
    pthread_mutex_unlock(&g_lock);
    return FT_OK;
}

void Release(const Use& use) {
    pthread_mutex_lock(&g_lock);
    Port& port = g_ports[use.slot];
    int fd = -1;
    if (--port.busy == 0 && port.closing) {
        fd = TakeDescriptorLocked(use.slot);
    }
    pthread_mutex_unlock(&g_lock);
    CloseDescriptor(fd);
}

void MarkGone(const Use& use) {
    pthread_mutex_lock(&g_lock);
    g_ports[use.slot].gone = true;
    pthread_mutex_unlock(&g_lock);
}

// False once the device has gone: its line hung up, or its node removed or
// replaced by another device. Marks the port gone.
bool StillThere(const Use& use) {
    // path and rdev stay as they are while the slot is pinned.
    const Port& port = g_ports[use.slot];
    pthread_mutex_lock(&g_lock);
    bool gone = port.gone;
    pthread_mutex_unlock(&g_lock);
    if (gone) {
        return false;
    }
    pollfd p{use.fd, 0, 0}; // hang-up and errors are reported without asking
    int r;
    do {
        r = poll(&p, 1, 0);
    } while (r < 0 && errno == EINTR);
    bool there = r >= 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0;
    if (there) {
        struct stat st;
        there = stat(port.path, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == port.rdev;
    }
    if (!there) {
        MarkGone(use);
    }
    return there;
}

// Pins the handle and checks that its device is still there. On FT_OK the
// caller must Release.
FT_STATUS Begin(FT_HANDLE handle, Use* use) {
    FT_STATUS status = Acquire(handle, use);
    if (status != FT_OK) {
        return status;
    }
    if (!StillThere(*use)) {
        Release(*use);
        return FT_IO_ERROR;
    }
    return FT_OK;
}

// Status after a failed system call on the device: a vanished device is
// marked gone.
FT_STATUS FailureStatus(const Use& use) {
    if (errno == EIO || errno == ENODEV || errno == ENXIO || errno == EBADF) {
        MarkGone(use);
    } else {
        StillThere(use);
    }
    return FT_IO_ERROR;
}

FT_STATUS End(const Use& use, FT_STATUS status) {
    Release(use);
    return status;
}

// ---- Line settings ---------------------------------------------------------------

bool BaudConstant(ULONG baud, speed_t* speed) {
    static const struct {
        ULONG baud;
        speed_t speed;
    } kRates[] = {
        {300, B300},         {600, B600},         {1200, B1200},       {2400, B2400},
        {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
        {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},
        {500000, B500000},   {576000, B576000},   {921600, B921600},   {1000000, B1000000},
        {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000},
        {3000000, B3000000},
    };
    for (const auto& rate : kRates) {
        if (rate.baud == baud) {
            *speed = rate.speed;
            return true;
        }
    }
    return false;
}

FT_STATUS GetLine(const Use& use, termios* tio) {
    return tcgetattr(use.fd, tio) == 0 ? FT_OK : FailureStatus(use);
}

FT_STATUS SetLine(const Use& use, const termios* tio) {
    return tcsetattr(use.fd, TCSANOW, tio) == 0 ? FT_OK : FailureStatus(use);
}

// Raw 8N1 at 9600 baud without flow control, reads that return what is
// there (the descriptor is non-blocking; waits are poll()'s).
bool ConfigureRaw(int fd) {
    termios tio;
    if (tcgetattr(fd, &tio) != 0) {
        return false;
    }
    cfmakeraw(&tio);
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, B9600);
    cfsetospeed(&tio, B9600);
    return tcsetattr(fd, TCSANOW, &tio) == 0;
}

// The FTDI chip holds a short reply for its latency timer (16 ms unless told
// otherwise). Ask the kernel driver for 1 ms, both ways it offers; quietly
// keep the default where the system does not allow it.
void LowerLatency(int fd, const char* port_name) {
    serial_struct info;
    if (ioctl(fd, TIOCGSERIAL, &info) == 0 && (info.flags & ASYNC_LOW_LATENCY) == 0) {
        info.flags |= ASYNC_LOW_LATENCY;
        ioctl(fd, TIOCSSERIAL, &info);
    }
    if (port_name == nullptr || PortNumber(port_name) < 0) {
        return;
    }
    char path[PATH_MAX];
    snprintf(path, sizeof path, "%s/bus/usb-serial/devices/%s/latency_timer", SysfsRoot(),
             port_name);
    int timer = open(path, O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (timer >= 0) {
        ssize_t ignored = write(timer, "1", 1);
        (void)ignored;
        close(timer);
    }
}

// ---- Open ------------------------------------------------------------------------

FT_STATUS OpenErrorStatus(int error) {
    switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ENODEV:
    case ENXIO:
        return FT_DEVICE_NOT_FOUND;
    default: // EACCES, EPERM, EBUSY, ...
        return FT_DEVICE_NOT_OPENED;
    }
}

// Opens the tty at path exclusively and stores a new handle. port_name is
// the ttyUSBn name when known (for the latency timer).
FT_STATUS OpenPath(const char* path, const char* port_name, FT_HANDLE* handle) {
    if (strlen(path) >= kPathMax) {
        return FT_INVALID_PARAMETER;
    }
    struct stat st;
    if (stat(path, &st) != 0) {
        return OpenErrorStatus(errno);
    }
    if (!S_ISCHR(st.st_mode)) {
        return FT_DEVICE_NOT_FOUND;
    }
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return OpenErrorStatus(errno);
    }
    if (!isatty(fd)) {
        close(fd);
        return FT_DEVICE_NOT_FOUND;
    }
    // Exclusive like the vendor driver: TIOCEXCL (below) keeps other
    // programs out, except privileged ones; the lock keeps out every user of
    // this provider, in this process or another, root included.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return FT_DEVICE_NOT_OPENED;
    }
    struct stat opened;
    if (fstat(fd, &opened) != 0 || !ConfigureRaw(fd)) {
        close(fd);
        return FT_DEVICE_NOT_OPENED;
    }
    ioctl(fd, TIOCEXCL);
    LowerLatency(fd, port_name);

    pthread_mutex_lock(&g_lock);
    int slot = -1;
    for (int i = 0; i < kSlots; ++i) {
        if (!g_ports[i].used) {
            slot = i;
            break;
        }
    }
    if (slot < 0) {
        pthread_mutex_unlock(&g_lock);
        CloseDescriptor(fd);
        return FT_INSUFFICIENT_RESOURCES;
    }
    // Generations never repeat within a run, so neither do handles.
    g_generation = (g_generation + 1) & (UINTPTR_MAX >> kSlotBits);
    if (g_generation == 0) {
        g_generation = 1;
    }
    Port& port = g_ports[slot];
    port.used = true;
    port.closing = false;
    port.gone = false;
    port.busy = 0;
    port.generation = g_generation;
    port.fd = fd;
    port.rdev = opened.st_rdev;
    port.read_ms = 0;
    port.write_ms = 0;
    CopyText(port.path, sizeof port.path, path);
    *handle = EncodeHandle(slot, port.generation);
    pthread_mutex_unlock(&g_lock);
    return FT_OK;
}

// ---- The D2XX functions ----------------------------------------------------------

FT_STATUS KQ_D2XX_CALL SerialListDevices(void* arg1, void* arg2, DWORD flags) {
    int number;
    PortInfo info;
    if ((flags & FT_LIST_NUMBER_ONLY) != 0) {
        if (arg1 == nullptr) {
            return FT_INVALID_PARAMETER;
        }
        *static_cast<DWORD*>(arg1) = static_cast<DWORD>(CountFtdiPorts());
        return FT_OK;
    }
    if ((flags & FT_LIST_BY_INDEX) != 0) {
        DWORD index = static_cast<DWORD>(reinterpret_cast<uintptr_t>(arg1));
        if (arg2 == nullptr) {
            return FT_INVALID_PARAMETER;
        }
        if (!FtdiPortAt(index, &number, &info)) {
            return FT_DEVICE_NOT_FOUND;
        }
        CopyText(static_cast<char*>(arg2), kListTextMax, ListedText(info, flags));
        return FT_OK;
    }
    if ((flags & FT_LIST_ALL) != 0) {
        // arg1: the buffers, their list ended by a null pointer; arg2: the
        // count.
        if (arg1 == nullptr || arg2 == nullptr) {
            return FT_INVALID_PARAMETER;
        }
        char** buffers = static_cast<char**>(arg1);
        DWORD count = static_cast<DWORD>(CountFtdiPorts());
        for (DWORD i = 0; i < count && buffers[i] != nullptr; ++i) {
            if (FtdiPortAt(i, &number, &info)) {
                CopyText(buffers[i], kListTextMax, ListedText(info, flags));
            }
        }
        *static_cast<DWORD*>(arg2) = count;
        return FT_OK;
    }
    return FT_INVALID_PARAMETER;
}

FT_STATUS KQ_D2XX_CALL SerialOpenEx(void* arg1, DWORD flags, FT_HANDLE* handle) {
    if (handle == nullptr || arg1 == nullptr) {
        return FT_INVALID_PARAMETER;
    }
    *handle = nullptr;
    const char* text = static_cast<const char*>(arg1);
    if (flags != FT_OPEN_BY_SERIAL_NUMBER && flags != FT_OPEN_BY_DESCRIPTION) {
        return FT_NOT_SUPPORTED;
    }
    if (strncmp(text, "/dev/", 5) == 0) {
        char resolved[PATH_MAX];
        const char* name = nullptr;
        if (realpath(text, resolved) != nullptr) {
            const char* slash = strrchr(resolved, '/');
            name = slash != nullptr ? slash + 1 : resolved;
        }
        return OpenPath(text, name, handle);
    }
    int number;
    PortInfo info;
    for (DWORD i = 0; text[0] != '\0' && FtdiPortAt(i, &number, &info); ++i) {
        if (strcmp(ListedText(info, flags), text) == 0) {
            char name[32];
            char path[PATH_MAX];
            snprintf(name, sizeof name, "ttyUSB%d", number);
            snprintf(path, sizeof path, "%s/%s", DevDir(), name);
            return OpenPath(path, name, handle);
        }
    }
    return FT_DEVICE_NOT_FOUND;
}

FT_STATUS KQ_D2XX_CALL SerialResetDevice(FT_HANDLE h) {
    Use use;
    FT_STATUS status = Begin(h, &use);
    return status != FT_OK ? status : End(use, FT_OK);
}

FT_STATUS KQ_D2XX_CALL SerialSetBaudRate(FT_HANDLE h, ULONG baud) {
    Use use;
    FT_STATUS status = Begin(h, &use);
    if (status != FT_OK) {
        return status;
    }
    speed_t speed;
    termios tio;
    if (!BaudConstant(baud, &speed)) {
        return End(use, FT_INVALID_BAUD_RATE);
    }
    status = GetLine(use, &tio);
    if (status == FT_OK) {
        cfsetispeed(&tio, speed);
        cfsetospeed(&tio, speed);
        status = SetLine(use, &tio);
    }
    return End(use, status);
}

FT_STATUS KQ_D2XX_CALL SerialSetDataCharacteristics(FT_HANDLE h, UCHAR bits, UCHAR stop,
                                                    UCHAR parity) {
    Use use;
    FT_STATUS status = Begin(h, &use);
    if (status != FT_OK) {
        return status;
    }
    if ((bits != FT_BITS_7 && bits != FT_BITS_8) ||
        (stop != FT_STOP_BITS_1 && stop != FT_STOP_BITS_2) || parity > FT_PARITY_SPACE) {
        return End(use, FT_INVALID_PARAMETER);
    }
    termios tio;
    status = GetLine(use, &tio);
    if (status != FT_OK) {
        return End(use, status);
    }
    tio.c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR);
    tio.c_cflag |= bits == FT_BITS_7 ? CS7 : CS8;
    if (stop == FT_STOP_BITS_2) {
        tio.c_cflag |= CSTOPB;
    }
    switch (parity) {
    case FT_PARITY_ODD:
        tio.c_cflag |= PARENB | PARODD;
        break;
    case FT_PARITY_EVEN:
        tio.c_cflag |= PARENB;
        break;
    case FT_PARITY_MARK:
        tio.c_cflag |= PARENB | CMSPAR | PARODD;
        break;
    case FT_PARITY_SPACE:
        tio.c_cflag |= PARENB | CMSPAR;
        break;
    default:
        break;
    }
    return End(use, SetLine(use, &tio));
}

FT_STATUS KQ_D2XX_CALL SerialSetFlowControl(FT_HANDLE h, USHORT flow, UCHAR xon, UCHAR xoff) {
    Use use;
    FT_STATUS status = Begin(h, &use);
    if (status != FT_OK) {
        return status;
    }
    if (flow == FT_FLOW_DTR_DSR) {
        return End(use, FT_NOT_SUPPORTED); // the tty interface has no DTR/DSR handshake
    }
    if (flow != FT_FLOW_NONE && flow != FT_FLOW_RTS_CTS && flow != FT_FLOW_XON_XOFF) {
        return End(use, FT_INVALID_PARAMETER);
    }
    termios tio;
    status = GetLine(use, &tio);
    if (status != FT_OK) {
        return End(use, status);
    }
    tio.c_cflag &= ~CRTSCTS;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    if (flow == FT_FLOW_RTS_CTS) {
        tio.c_cflag |= CRTSCTS;
    } else if (flow == FT_FLOW_XON_XOFF) {
        tio.c_iflag |= IXON | IXOFF;
        tio.c_cc[VSTART] = xon;
        tio.c_cc[VSTOP] = xoff;
    }
    return End(use, SetLine(use, &tio));
}

FT_STATUS KQ_D2XX_CALL SerialSetTimeouts(FT_HANDLE h, ULONG read_ms, ULONG write_ms) {
    Use use;
    FT_STATUS status = Begin(h, &use);
    if (status != FT_OK) {
        return status;
    }
    pthread_mutex_lock(&g_lock);
    g_ports[use.slot].read_ms = read_ms;
    g_ports[use.slot].write_ms = write_ms;
    pthread_mutex_unlock(&g_lock);
    return End(use, FT_OK);
}

FT_STATUS KQ_D2XX_CALL SerialPurge(FT_HANDLE h, ULONG mask) {
    Use use;
    FT_STATUS status = Begin(h, &use);
    if (status != FT_OK) {
        return status;
    }
    int queue = -1;
    if ((mask & (FT_PURGE_RX | FT_PURGE_TX)) == (FT_PURGE_RX | FT_PURGE_TX)) {
        queue = TCIOFLUSH;
    } else if ((mask & FT_PURGE_RX) != 0) {
        queue = TCIFLUSH;
    } else if ((mask & FT_PURGE_TX) != 0) {
        queue = TCOFLUSH;
    }
    if (queue >= 0 && tcflush(use.fd, queue) != 0) {
        return End(use, FailureStatus(use));
    }
    return End(use, FT_OK);
}

// Bytes readable now, or false when the query fails.
bool ReceiveAmount(const Use& use, DWORD* rx) {
    int amount = 0;
    if (ioctl(use.fd, FIONREAD, &amount) != 0) {
        return false;
    }
    *rx = amount > 0 ? static_cast<DWORD>(amount) : 0;
    return true;
}

FT_STATUS KQ_D2XX_CALL SerialGetStatus(FT_HANDLE h, DWORD* rx, DWORD* tx, DWORD* events) {
    Use use;
    FT_STATUS status = Begin(h, &use);
    if (status != FT_OK) {
        return status;
    }
    if (rx == nullptr || tx == nullptr || events == nullptr) {
        return End(use, FT_INVALID_PARAMETER);
    }
    if (!ReceiveAmount(use, rx)) {
        return End(use, FailureStatus(use));
    }
    int pending = 0;
    *tx = ioctl(use.fd, TIOCOUTQ, &pending) == 0 && pending > 0 ? static_cast<DWORD>(pending) : 0;
    *events = 0;
    return End(use, FT_OK);
}

FT_STATUS KQ_D2XX_CALL SerialGetQueueStatus(FT_HANDLE h, DWORD* rx) {
    Use use;
    FT_STATUS status = Begin(h, &use);
    if (status != FT_OK) {
        return status;
    }
    if (rx == nullptr) {
        return End(use, FT_INVALID_PARAMETER);
    }
    return End(use, ReceiveAmount(use, rx) ? FT_OK : FailureStatus(use));
}

FT_STATUS Break(FT_HANDLE h, unsigned long request) {
    Use use;
    FT_STATUS status = Begin(h, &use);
    if (status != FT_OK) {
        return status;
    }
    if (ioctl(use.fd, request) != 0) {
        // A line that cannot signal a break (a pseudo-terminal; a request an
        // emulator cannot pass on) is no fault.
        if (errno == ENOTTY || errno == EINVAL || errno == EOPNOTSUPP || errno == ENOSYS) {
            return End(use, FT_OK);
        }
        return End(use, FailureStatus(use));
    }
    return End(use, FT_OK);
}

FT_STATUS KQ_D2XX_CALL SerialSetBreakOn(FT_HANDLE h) {
    return Break(h, TIOCSBRK);
}
FT_STATUS KQ_D2XX_CALL SerialSetBreakOff(FT_HANDLE h) {
    return Break(h, TIOCCBRK);
}

// Waits until fd is ready for events or the deadline passes. Returns 1 when
// ready, 0 at the deadline, -1 when the line hung up or failed.
int WaitReady(int fd, short events, int64_t deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        int r = poll(&p, 1, PollWait(deadline));
        if (r < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        if (r == 0) {
            return 0;
        }
        if ((p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            return -1;
        }
        return 1;
    }
}

FT_STATUS KQ_D2XX_CALL SerialWrite(FT_HANDLE h, void* buf, DWORD n, DWORD* written) {
    Use use;
    FT_STATUS status = Begin(h, &use);
    if (status != FT_OK) {
        return status;
    }
    if (written == nullptr || (buf == nullptr && n > 0)) {
        return End(use, FT_INVALID_PARAMETER);
    }
    const char* bytes = static_cast<const char*>(buf);
    DWORD done = 0;
    int64_t deadline = DeadlineAfter(use.write_ms);
    while (done < n) {
        ssize_t r = write(use.fd, bytes + done, n - done);
        if (r > 0) {
            done += static_cast<DWORD>(r);
            continue;
        }
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r < 0 && errno != EAGAIN) {
            *written = done;
            return End(use, FailureStatus(use));
        }
        int ready = WaitReady(use.fd, POLLOUT, deadline);
        if (ready < 0) {
            MarkGone(use);
            *written = done;
            return End(use, FT_IO_ERROR);
        }
        if (ready == 0) {
            break; // write timeout: what went out so far
        }
    }
    *written = done;
    return End(use, FT_OK);
}

FT_STATUS KQ_D2XX_CALL SerialRead(FT_HANDLE h, void* buf, DWORD n, DWORD* read_count) {
    Use use;
    FT_STATUS status = Begin(h, &use);
    if (status != FT_OK) {
        return status;
    }
    if (read_count == nullptr || (buf == nullptr && n > 0)) {
        return End(use, FT_INVALID_PARAMETER);
    }
    char* bytes = static_cast<char*>(buf);
    DWORD done = 0;
    int64_t deadline = DeadlineAfter(use.read_ms);
    while (done < n) {
        ssize_t r = read(use.fd, bytes + done, n - done);
        if (r > 0) {
            done += static_cast<DWORD>(r);
            continue;
        }
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r == 0 || errno != EAGAIN) {
            // End of file on a tty in this mode means it was hung up.
            *read_count = done;
            if (r == 0) {
                MarkGone(use);
                return End(use, FT_IO_ERROR);
            }
            return End(use, FailureStatus(use));
        }
        int ready = WaitReady(use.fd, POLLIN, deadline);
        if (ready < 0) {
            MarkGone(use);
            *read_count = done;
            return End(use, FT_IO_ERROR);
        }
        if (ready == 0) {
            break; // read timeout: what arrived so far
        }
    }
    *read_count = done;
    return End(use, FT_OK);
}

FT_STATUS KQ_D2XX_CALL SerialClose(FT_HANDLE h) {
    pthread_mutex_lock(&g_lock);
    int slot = SlotOfLocked(h);
    if (slot < 0) {
        pthread_mutex_unlock(&g_lock);
        return FT_INVALID_HANDLE;
    }
    g_ports[slot].closing = true;
    int fd = g_ports[slot].busy == 0 ? TakeDescriptorLocked(slot) : -1;
    pthread_mutex_unlock(&g_lock);
    CloseDescriptor(fd);
    return FT_OK;
}

const D2xxApi kSerialApi = {
    .ListDevices = SerialListDevices,
    .OpenEx = SerialOpenEx,
    .ResetDevice = SerialResetDevice,
    .SetBaudRate = SerialSetBaudRate,
    .SetDataCharacteristics = SerialSetDataCharacteristics,
    .SetFlowControl = SerialSetFlowControl,
    .SetTimeouts = SerialSetTimeouts,
    .Purge = SerialPurge,
    .GetStatus = SerialGetStatus,
    .GetQueueStatus = SerialGetQueueStatus,
    .SetBreakOn = SerialSetBreakOn,
    .SetBreakOff = SerialSetBreakOff,
    .Write = SerialWrite,
    .Read = SerialRead,
    .Close = SerialClose,
};

} // namespace

const D2xxApi* SerialProviderApi() {
    return &kSerialApi;
}

} // namespace kq
