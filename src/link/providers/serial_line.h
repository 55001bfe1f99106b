// The tty side of the serial provider: raw mode at open, the line settings
// the D2XX functions ask for, break, the FTDI latency timer, and waiting for
// a descriptor with a deadline.
#pragma once

#include "link/d2xx_defs.h"

#include <cstdint>

#include <termios.h>

namespace kq::serial {

using namespace kq::ft;

// Raw 8N1 at 9600 baud without flow control, reads that return what is
// there (the descriptor is non-blocking; waits are poll()'s). False when the
// line cannot be set.
bool ConfigureRaw(int fd);

// Asks the kernel driver for a 1 ms latency timer, both ways it offers;
// keeps the default quietly where the system does not allow it. port_name
// is the ttyUSBn name when known.
void LowerLatency(int fd, const char* port_name);

// The termios speed of a baud rate; false for a rate the tty interface has
// no constant for.
bool BaudConstant(ULONG baud, speed_t* speed);

// FT_SetDataCharacteristics: 7 or 8 bits, 1 or 2 stop bits, parity none,
// odd, even, mark or space. Valid... says whether the provider takes the
// values; Set... rewrites the fields of tio they stand for.
bool ValidDataBits(UCHAR bits, UCHAR stop, UCHAR parity);
void SetDataBits(termios* tio, UCHAR bits, UCHAR stop, UCHAR parity);

// FT_SetFlowControl: none, RTS/CTS or XON/XOFF with its two characters
// (DTR/DSR has no tty equivalent: the provider refuses it before this).
bool ValidFlow(USHORT flow);
void SetFlow(termios* tio, USHORT flow, UCHAR xon, UCHAR xoff);

// The two requests that reach the tty: new line settings, and break on or
// off. They return what tcsetattr or ioctl returned (errno set on -1).
int ApplyLine(int fd, const termios* tio);
int ApplyBreak(int fd, bool on);

// Where ApplyLine and ApplyBreak end, replaceable so that tests can see what
// the provider asks of a line that cannot show it (a pseudo-terminal keeps 8
// data bits without parity and ignores a break). Null members restore the
// system calls.
struct LineCalls {
    int (*set_attr)(int fd, int action, const termios* tio);
    int (*set_break)(int fd, bool on);
};
void SetLineCalls(const LineCalls& calls);

// Monotonic milliseconds.
int64_t NowMs();

// The deadline ms from now; -1 (none) for 0.
int64_t DeadlineAfter(ULONG ms);

// Waits until fd is ready for events or the deadline passes. Returns 1 when
// ready, 0 at the deadline, -1 when the line hung up or failed.
int WaitReady(int fd, short events, int64_t deadline);

} // namespace kq::serial
