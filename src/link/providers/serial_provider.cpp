// The built-in serial provider (Linux): the D2XX functions the library binds,
// served by the kernel's FTDI serial driver through the tty interface. This
// file holds the D2XX table and its handles; serial_ports.h finds the ports
// (every ttyUSBn on a USB device with vendor id 0403, in ttyUSB order, its
// USB serial number as its D2XX serial number) and serial_line.h handles the
// tty. A serial text that starts with "/dev/" opens that path directly (a
// udev symlink, a pseudo-terminal).
//
// Handles are numbers (slot and generation), never pointers: a handle that
// was closed, or never was one, gives FT_INVALID_HANDLE instead of touching
// freed memory. A device counts as gone once its line was hung up (unplugged,
// or the far side of a pseudo-terminal closed) or the node it was opened
// through was removed or names another device; every call on it then fails
// with FT_IO_ERROR, and FT_Close still releases it.
//
// A hang-up is seen at once: every call on a hung-up line fails. The node is
// looked at again at most every kNodeCheckMs, and after every failed call, so
// that the receive poll of an idle loop worker costs one system call.
#include "link/d2xx.h"
#include "link/providers/serial_line.h"
#include "link/providers/serial_ports.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace kq {
namespace {

using namespace kq::serial;

constexpr size_t kPathMax = 1024;
// How long a node check holds: the device node is looked at again after this
// long, or after a failed call.
constexpr int64_t kNodeCheckMs = 50;
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
    dev_t rdev;              // device number of the node at open time
    int64_t node_checked_ms; // when the node was last found as opened
    ULONG read_ms;           // 0 = no limit
    ULONG write_ms;
    char path[kPathMax]; // the node as it was opened (a symlink stays one)
};

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
Port g_ports[kSlots];
uintptr_t g_generation;

// ---- Text ------------------------------------------------------------------------

// Bounded copy that always terminates (cap > 0).
void CopyText(char* dest, size_t cap, const char* src) {
    size_t n = strnlen(src, cap - 1);
    memcpy(dest, src, n);
    dest[n] = '\0';
}

// ---- Listing -------------------------------------------------------------------

// Number of FTDI ports.
int CountFtdiPorts() {
    int all[kMaxPorts];
    int total = ScanPorts(all, kMaxPorts);
    int count = 0;
    PortInfo info;
    for (int i = 0; i < total; ++i) {
        count += ReadPortInfo(all[i], &info) && IsFtdi(info) ? 1 : 0;
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
        if (ReadPortInfo(all[i], info) && IsFtdi(*info) && seen++ == index) {
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
    bool gone;
    bool node_due; // the node has not been looked at for kNodeCheckMs
};

// What a call looks at before it runs.
enum class Check {
    kLine,  // the line's hang-up state (one poll), and the node when due
    kQueue, // the node when due only: the queue amount's own system call
            // fails on a line that hung up
};

// Pins the handle's slot (the caller must Release it) and takes what the
// call needs from it. FT_INVALID_HANDLE for an unknown, null or closed
// handle.
FT_STATUS Acquire(FT_HANDLE handle, Use* use) {
    int64_t now = NowMs();
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
    use->gone = port.gone;
    use->node_due = now - port.node_checked_ms >= kNodeCheckMs;
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

// True while the line has not hung up.
bool LineUp(int fd) {
    pollfd p{fd, 0, 0}; // hang-up and errors are reported without asking
    int r;
    do {
        r = poll(&p, 1, 0);
    } while (r < 0 && errno == EINTR);
    return r >= 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0;
}

// True while the node the port was opened through still names its device.
bool NodeStays(const Use& use) {
    // path and rdev stay as they are while the slot is pinned.
    const Port& port = g_ports[use.slot];
    struct stat st;
    if (stat(port.path, &st) != 0 || !S_ISCHR(st.st_mode) || st.st_rdev != port.rdev) {
        return false;
    }
    int64_t now = NowMs();
    pthread_mutex_lock(&g_lock);
    g_ports[use.slot].node_checked_ms = now;
    pthread_mutex_unlock(&g_lock);
    return true;
}

// False once the device has gone: its line hung up, or its node removed or
// replaced by another device. Marks the port gone. force_node looks at the
// node even when it is not due.
bool StillThere(const Use& use, Check check, bool force_node) {
    bool there = !use.gone && (check != Check::kLine || LineUp(use.fd)) &&
                 (!(use.node_due || force_node) || NodeStays(use));
    if (!there) {
        MarkGone(use);
    }
    return there;
}

// The entry check of every call on an open port: pins the handle's slot
// (FT_INVALID_HANDLE for an unknown, null or closed handle), checks that its
// device is still there (FT_IO_ERROR once it has gone), then runs
// body(use) and releases the slot. Returns what body returned.
template <typename Body> FT_STATUS OnOpenPort(FT_HANDLE handle, Check check, Body body) {
    Use use;
    FT_STATUS status = Acquire(handle, &use);
    if (status != FT_OK) {
        return status;
    }
    if (!StillThere(use, check, false)) {
        Release(use);
        return FT_IO_ERROR;
    }
    status = body(use);
    Release(use);
    return status;
}

// Status after a failed system call on the device: a vanished device is
// marked gone; otherwise the line and the node are looked at.
FT_STATUS FailureStatus(const Use& use) {
    if (errno == EIO || errno == ENODEV || errno == ENXIO || errno == EBADF) {
        MarkGone(use);
    } else {
        StillThere(use, Check::kLine, true);
    }
    return FT_IO_ERROR;
}

// ---- Line settings ---------------------------------------------------------------

FT_STATUS GetLine(const Use& use, termios* tio) {
    return tcgetattr(use.fd, tio) == 0 ? FT_OK : FailureStatus(use);
}

FT_STATUS SetLine(const Use& use, const termios* tio) {
    return ApplyLine(use.fd, tio) == 0 ? FT_OK : FailureStatus(use);
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
    port.node_checked_ms = NowMs();
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
    return OnOpenPort(h, Check::kLine, [](const Use&) { return FT_OK; });
}

FT_STATUS KQ_D2XX_CALL SerialSetBaudRate(FT_HANDLE h, ULONG baud) {
    return OnOpenPort(h, Check::kLine, [&](const Use& use) {
        speed_t speed;
        termios tio;
        if (!BaudConstant(baud, &speed)) {
            return FT_INVALID_BAUD_RATE;
        }
        FT_STATUS status = GetLine(use, &tio);
        if (status == FT_OK) {
            cfsetispeed(&tio, speed);
            cfsetospeed(&tio, speed);
            status = SetLine(use, &tio);
        }
        return status;
    });
}

FT_STATUS KQ_D2XX_CALL SerialSetDataCharacteristics(FT_HANDLE h, UCHAR bits, UCHAR stop,
                                                    UCHAR parity) {
    return OnOpenPort(h, Check::kLine, [&](const Use& use) {
        if (!ValidDataBits(bits, stop, parity)) {
            return FT_INVALID_PARAMETER;
        }
        termios tio;
        FT_STATUS status = GetLine(use, &tio);
        if (status != FT_OK) {
            return status;
        }
        SetDataBits(&tio, bits, stop, parity);
        return SetLine(use, &tio);
    });
}

FT_STATUS KQ_D2XX_CALL SerialSetFlowControl(FT_HANDLE h, USHORT flow, UCHAR xon, UCHAR xoff) {
    return OnOpenPort(h, Check::kLine, [&](const Use& use) {
        if (flow == FT_FLOW_DTR_DSR) {
            return FT_NOT_SUPPORTED; // the tty interface has no DTR/DSR handshake
        }
        if (!ValidFlow(flow)) {
            return FT_INVALID_PARAMETER;
        }
        termios tio;
        FT_STATUS status = GetLine(use, &tio);
        if (status != FT_OK) {
            return status;
        }
        SetFlow(&tio, flow, xon, xoff);
        return SetLine(use, &tio);
    });
}

FT_STATUS KQ_D2XX_CALL SerialSetTimeouts(FT_HANDLE h, ULONG read_ms, ULONG write_ms) {
    return OnOpenPort(h, Check::kLine, [&](const Use& use) {
        pthread_mutex_lock(&g_lock);
        g_ports[use.slot].read_ms = read_ms;
        g_ports[use.slot].write_ms = write_ms;
        pthread_mutex_unlock(&g_lock);
        return FT_OK;
    });
}

FT_STATUS KQ_D2XX_CALL SerialPurge(FT_HANDLE h, ULONG mask) {
    return OnOpenPort(h, Check::kLine, [&](const Use& use) {
        int queue = -1;
        if ((mask & (FT_PURGE_RX | FT_PURGE_TX)) == (FT_PURGE_RX | FT_PURGE_TX)) {
            queue = TCIOFLUSH;
        } else if ((mask & FT_PURGE_RX) != 0) {
            queue = TCIFLUSH;
        } else if ((mask & FT_PURGE_TX) != 0) {
            queue = TCOFLUSH;
        }
        if (queue >= 0 && tcflush(use.fd, queue) != 0) {
            return FailureStatus(use);
        }
        return FT_OK;
    });
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

// The transmit amount is not measured (always 0): the library never reads
// it, and asking the tty would cost a system call in every receive poll.
FT_STATUS KQ_D2XX_CALL SerialGetStatus(FT_HANDLE h, DWORD* rx, DWORD* tx, DWORD* events) {
    return OnOpenPort(h, Check::kQueue, [&](const Use& use) {
        if (rx == nullptr || tx == nullptr || events == nullptr) {
            return FT_INVALID_PARAMETER;
        }
        if (!ReceiveAmount(use, rx)) {
            return FailureStatus(use);
        }
        *tx = 0;
        *events = 0;
        return FT_OK;
    });
}

FT_STATUS KQ_D2XX_CALL SerialGetQueueStatus(FT_HANDLE h, DWORD* rx) {
    return OnOpenPort(h, Check::kQueue, [&](const Use& use) {
        if (rx == nullptr) {
            return FT_INVALID_PARAMETER;
        }
        return ReceiveAmount(use, rx) ? FT_OK : FailureStatus(use);
    });
}

FT_STATUS Break(FT_HANDLE h, bool on) {
    return OnOpenPort(h, Check::kLine, [&](const Use& use) {
        if (ApplyBreak(use.fd, on) != 0) {
            // A line that cannot signal a break (a pseudo-terminal; a request an
            // emulator cannot pass on) is no fault.
            if (errno == ENOTTY || errno == EINVAL || errno == EOPNOTSUPP || errno == ENOSYS) {
                return FT_OK;
            }
            return FailureStatus(use);
        }
        return FT_OK;
    });
}

FT_STATUS KQ_D2XX_CALL SerialSetBreakOn(FT_HANDLE h) {
    return Break(h, true);
}
FT_STATUS KQ_D2XX_CALL SerialSetBreakOff(FT_HANDLE h) {
    return Break(h, false);
}

FT_STATUS KQ_D2XX_CALL SerialWrite(FT_HANDLE h, void* buf, DWORD n, DWORD* written) {
    return OnOpenPort(h, Check::kLine, [&](const Use& use) {
        if (written == nullptr || (buf == nullptr && n > 0)) {
            return FT_INVALID_PARAMETER;
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
                return FailureStatus(use);
            }
            int ready = WaitReady(use.fd, POLLOUT, deadline);
            if (ready < 0) {
                MarkGone(use);
                *written = done;
                return FT_IO_ERROR;
            }
            if (ready == 0) {
                break; // write timeout: what went out so far
            }
        }
        *written = done;
        return FT_OK;
    });
}

FT_STATUS KQ_D2XX_CALL SerialRead(FT_HANDLE h, void* buf, DWORD n, DWORD* read_count) {
    return OnOpenPort(h, Check::kLine, [&](const Use& use) {
        if (read_count == nullptr || (buf == nullptr && n > 0)) {
            return FT_INVALID_PARAMETER;
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
                    return FT_IO_ERROR;
                }
                return FailureStatus(use);
            }
            int ready = WaitReady(use.fd, POLLIN, deadline);
            if (ready < 0) {
                MarkGone(use);
                *read_count = done;
                return FT_IO_ERROR;
            }
            if (ready == 0) {
                break; // read timeout: what arrived so far
            }
        }
        *read_count = done;
        return FT_OK;
    });
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
