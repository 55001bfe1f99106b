// The tty side of the serial provider: termios settings, break, the latency
// timer and deadline waits.
#include "link/providers/serial_line.h"

#include "link/providers/serial_ports.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace kq::serial {

namespace {

int SystemSetAttr(int fd, int action, const termios* tio) {
    return tcsetattr(fd, action, tio);
}

int SystemSetBreak(int fd, bool on) {
    return ioctl(fd, on ? TIOCSBRK : TIOCCBRK);
}

LineCalls g_line_calls = {SystemSetAttr, SystemSetBreak};

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

} // namespace

void SetLineCalls(const LineCalls& calls) {
    g_line_calls.set_attr = calls.set_attr != nullptr ? calls.set_attr : SystemSetAttr;
    g_line_calls.set_break = calls.set_break != nullptr ? calls.set_break : SystemSetBreak;
}

int ApplyLine(int fd, const termios* tio) {
    return g_line_calls.set_attr(fd, TCSANOW, tio);
}

int ApplyBreak(int fd, bool on) {
    return g_line_calls.set_break(fd, on);
}

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
    return ApplyLine(fd, &tio) == 0;
}

// The FTDI chip holds a short reply for its latency timer (16 ms unless told
// otherwise).
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

bool ValidDataBits(UCHAR bits, UCHAR stop, UCHAR parity) {
    return (bits == FT_BITS_7 || bits == FT_BITS_8) &&
           (stop == FT_STOP_BITS_1 || stop == FT_STOP_BITS_2) && parity <= FT_PARITY_SPACE;
}

void SetDataBits(termios* tio, UCHAR bits, UCHAR stop, UCHAR parity) {
    tio->c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR);
    tio->c_cflag |= bits == FT_BITS_7 ? CS7 : CS8;
    if (stop == FT_STOP_BITS_2) {
        tio->c_cflag |= CSTOPB;
    }
    switch (parity) {
    case FT_PARITY_ODD:
        tio->c_cflag |= PARENB | PARODD;
        break;
    case FT_PARITY_EVEN:
        tio->c_cflag |= PARENB;
        break;
    case FT_PARITY_MARK:
        tio->c_cflag |= PARENB | CMSPAR | PARODD;
        break;
    case FT_PARITY_SPACE:
        tio->c_cflag |= PARENB | CMSPAR;
        break;
    default:
        break;
    }
}

bool ValidFlow(USHORT flow) {
    return flow == FT_FLOW_NONE || flow == FT_FLOW_RTS_CTS || flow == FT_FLOW_XON_XOFF;
}

void SetFlow(termios* tio, USHORT flow, UCHAR xon, UCHAR xoff) {
    tio->c_cflag &= ~CRTSCTS;
    tio->c_iflag &= ~(IXON | IXOFF | IXANY);
    if (flow == FT_FLOW_RTS_CTS) {
        tio->c_cflag |= CRTSCTS;
    } else if (flow == FT_FLOW_XON_XOFF) {
        tio->c_iflag |= IXON | IXOFF;
        tio->c_cc[VSTART] = xon;
        tio->c_cc[VSTOP] = xoff;
    }
}

int64_t NowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int64_t DeadlineAfter(ULONG ms) {
    return ms == 0 ? -1 : NowMs() + static_cast<int64_t>(ms);
}

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

} // namespace kq::serial
