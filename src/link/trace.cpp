// Traffic tracing (KQ_TRACE). Each wrapper calls the provider's own function
// with exactly the arguments it was given, then formats one line in a fixed
// buffer on the stack and hands it to the destination with a single write():
//
//   HH:MM:SS.uuuuuu tid N FT_Call(arguments) = STATUS NAME, results [D ms]
//
// The time is UTC wall-clock time, tid the calling thread, D how long the
// provider took. Bytes written or read are shown as C-escaped text and as
// hex (at most kShownBytes of them). A line is never split: it is one
// write() of at most kLineMax bytes (below PIPE_BUF, so lines of several
// threads or processes never interleave), and a file is opened for
// appending. A destination that cannot take a line at once (a full pipe)
// loses it rather than hold up a worker; the next line that gets through
// says how many were lost.
#include "link/trace.h"

#include "kq.h"
#include "platform/platform.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstring>

namespace kq {

namespace {

constexpr size_t kLineMax = 2048;
constexpr size_t kShownBytes = 160;

int g_fd = -1;                      // set once while binding, before any wrapper runs
D2xxApi g_inner{};                  // the provider's own table
std::atomic<unsigned> g_dropped{0}; // lines the destination could not take

// ---- Building a line -------------------------------------------------------

struct Line {
    char text[kLineMax];
    size_t len = 0;
    std::chrono::steady_clock::time_point start;
};

void Put(Line& l, const char* s) {
    while (*s != '\0' && l.len < kLineMax - 1) {
        l.text[l.len++] = *s++;
    }
}

void PutChar(Line& l, char c) {
    if (l.len < kLineMax - 1) {
        l.text[l.len++] = c;
    }
}

void PutDec(Line& l, uint64_t v, int min_digits = 1) {
    char digits[24];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0 || n < min_digits);
    while (n > 0) {
        PutChar(l, digits[--n]);
    }
}

constexpr char kHex[] = "0123456789abcdef";

void PutHex(Line& l, uint64_t v) {
    char digits[16];
    int n = 0;
    do {
        digits[n++] = kHex[v & 0xF];
        v >>= 4;
    } while (v != 0);
    Put(l, "0x");
    while (n > 0) {
        PutChar(l, digits[--n]);
    }
}

void PutPointer(Line& l, const void* p) {
    PutHex(l, reinterpret_cast<uintptr_t>(p));
}

// A NUL-terminated text of at most max characters, quoted.
void PutText(Line& l, const char* s, size_t max) {
    PutChar(l, '"');
    for (size_t i = 0; s != nullptr && i < max && s[i] != '\0'; ++i) {
        PutChar(l, s[i]);
    }
    PutChar(l, '"');
}

// n bytes: "C-escaped text" then hex, the first kShownBytes of them.
void PutBytes(Line& l, const void* data, size_t n) {
    const auto* b = static_cast<const unsigned char*>(data);
    size_t shown = n < kShownBytes ? n : kShownBytes;
    if (b == nullptr) {
        shown = 0;
    }
    PutChar(l, '"');
    for (size_t i = 0; i < shown; ++i) {
        unsigned char c = b[i];
        if (c == '\r') {
            Put(l, "\\r");
        } else if (c == '\n') {
            Put(l, "\\n");
        } else if (c == '"' || c == '\\') {
            PutChar(l, '\\');
            PutChar(l, static_cast<char>(c));
        } else if (c >= 0x20 && c < 0x7F) {
            PutChar(l, static_cast<char>(c));
        } else {
            Put(l, "\\x");
            PutChar(l, kHex[c >> 4]);
            PutChar(l, kHex[c & 0xF]);
        }
    }
    PutChar(l, '"');
    for (size_t i = 0; i < shown; ++i) {
        PutChar(l, ' ');
        PutChar(l, kHex[b[i] >> 4]);
        PutChar(l, kHex[b[i] & 0xF]);
    }
    if (shown < n) {
        Put(l, " ... (");
        PutDec(l, n - shown);
        Put(l, " more)");
    }
}

// Starts the line of one call: time of day (UTC), thread, the call's name
// and the opening parenthesis of its arguments; starts the call's clock.
void StartCallLine(Line& l, const char* call) {
    using namespace std::chrono;
    int64_t us = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
    int64_t day_us = us % (int64_t{86400} * 1000000);
    int64_t secs = day_us / 1000000;
    PutDec(l, static_cast<uint64_t>(secs / 3600), 2);
    PutChar(l, ':');
    PutDec(l, static_cast<uint64_t>(secs / 60 % 60), 2);
    PutChar(l, ':');
    PutDec(l, static_cast<uint64_t>(secs % 60), 2);
    PutChar(l, '.');
    PutDec(l, static_cast<uint64_t>(day_us % 1000000), 6);
    Put(l, " tid ");
    PutDec(l, CurrentThreadNumber());
    PutChar(l, ' ');
    Put(l, call);
    PutChar(l, '(');
    l.start = steady_clock::now();
}

// The name kq.h gives a driver status number; "?" for one it does not list.
const char* StatusName(FT_STATUS s) {
    const char* name = KQ_D2xxStatusName(static_cast<int>(s));
    return std::strncmp(name, "FT_", 3) == 0 ? name : "?";
}

// Closes the argument list: ") = STATUS NAME". The caller adds results.
void Status(Line& l, FT_STATUS s) {
    Put(l, ") = ");
    PutDec(l, s);
    PutChar(l, ' ');
    Put(l, StatusName(s));
}

void Arg(Line& l, const char* name, uint64_t v, bool hex = false) {
    if (l.len > 0 && l.text[l.len - 1] != '(' && l.text[l.len - 1] != ' ') {
        Put(l, ", ");
    }
    Put(l, name);
    PutChar(l, '=');
    if (hex) {
        PutHex(l, v);
    } else {
        PutDec(l, v);
    }
}

void ArgHandle(Line& l, FT_HANDLE h) {
    Put(l, "h=");
    PutPointer(l, h);
}

void WriteLine(const char* text, size_t len) {
    if (!WriteIfReady(g_fd, text, len)) {
        g_dropped.fetch_add(1, std::memory_order_relaxed);
    }
}

// Adds the call's duration and the newline, and writes the line.
void Emit(Line& l) {
    using namespace std::chrono;
    int64_t us = duration_cast<microseconds>(steady_clock::now() - l.start).count();
    Put(l, " [");
    PutDec(l, static_cast<uint64_t>(us / 1000));
    PutChar(l, '.');
    PutDec(l, static_cast<uint64_t>(us % 1000), 3);
    Put(l, " ms]");
    unsigned lost = g_dropped.exchange(0, std::memory_order_relaxed);
    if (lost != 0) {
        Put(l, " (");
        PutDec(l, lost);
        Put(l, " trace lines lost before this one)");
    }
    if (l.len >= kLineMax - 1) {
        l.len = kLineMax - 2; // cut; the newline always ends the line
    }
    l.text[l.len++] = '\n';
    WriteLine(l.text, l.len);
}

// ---- The wrappers ----------------------------------------------------------

FT_STATUS KQ_D2XX_CALL TListDevices(void* arg1, void* arg2, DWORD flags) {
    Line l;
    StartCallLine(l, "FT_ListDevices");
    bool by_index = (flags & FT_LIST_BY_INDEX) != 0;
    if (by_index) {
        Arg(l, "index", reinterpret_cast<uintptr_t>(arg1));
    } else {
        Put(l, "arg1=");
        PutPointer(l, arg1);
    }
    Arg(l, "flags", flags, true);
    FT_STATUS s = g_inner.ListDevices(arg1, arg2, flags);
    Status(l, s);
    if (s == FT_OK && by_index && (flags & 3) != 0) {
        Put(l, ", ");
        PutText(l, static_cast<const char*>(arg2), 64);
    }
    Emit(l);
    return s;
}

FT_STATUS KQ_D2XX_CALL TOpenEx(void* arg1, DWORD flags, FT_HANDLE* handle) {
    Line l;
    StartCallLine(l, "FT_OpenEx");
    if ((flags & 3) != 0) {
        PutText(l, static_cast<const char*>(arg1), 64);
    } else {
        PutPointer(l, arg1);
    }
    Arg(l, "flags", flags, true);
    FT_STATUS s = g_inner.OpenEx(arg1, flags, handle);
    Status(l, s);
    if (s == FT_OK && handle != nullptr) {
        Put(l, ", ");
        ArgHandle(l, *handle);
    }
    Emit(l);
    return s;
}

// A numeric argument of a setter.
struct Number {
    const char* name;
    uint64_t value;
    bool hex;
};

// The setters: a handle and numbers in ...
template <size_t N>
void StartSetterLine(Line& l, const char* call, FT_HANDLE h, const Number (&args)[N]) {
    StartCallLine(l, call);
    ArgHandle(l, h);
    for (const Number& a : args) {
        Arg(l, a.name, a.value, a.hex);
    }
}

// ... and, as for the calls that take only a handle, nothing but the status out.
FT_STATUS EndWithStatus(Line& l, FT_STATUS s) {
    Status(l, s);
    Emit(l);
    return s;
}

// The calls that take only a handle.
FT_STATUS HandleOnly(const char* name, FT_STATUS(KQ_D2XX_CALL* fn)(FT_HANDLE), FT_HANDLE h) {
    Line l;
    StartCallLine(l, name);
    ArgHandle(l, h);
    return EndWithStatus(l, fn(h));
}

FT_STATUS KQ_D2XX_CALL TResetDevice(FT_HANDLE h) {
    return HandleOnly("FT_ResetDevice", g_inner.ResetDevice, h);
}
FT_STATUS KQ_D2XX_CALL TSetBreakOn(FT_HANDLE h) {
    return HandleOnly("FT_SetBreakOn", g_inner.SetBreakOn, h);
}
FT_STATUS KQ_D2XX_CALL TSetBreakOff(FT_HANDLE h) {
    return HandleOnly("FT_SetBreakOff", g_inner.SetBreakOff, h);
}
FT_STATUS KQ_D2XX_CALL TClose(FT_HANDLE h) {
    return HandleOnly("FT_Close", g_inner.Close, h);
}

FT_STATUS KQ_D2XX_CALL TSetBaudRate(FT_HANDLE h, ULONG baud) {
    const Number args[] = {{"baud", baud, false}};
    Line l;
    StartSetterLine(l, "FT_SetBaudRate", h, args);
    return EndWithStatus(l, g_inner.SetBaudRate(h, baud));
}

FT_STATUS KQ_D2XX_CALL TSetDataCharacteristics(FT_HANDLE h, UCHAR bits, UCHAR stop, UCHAR parity) {
    const Number args[] = {{"bits", bits, false}, {"stop", stop, false}, {"parity", parity, false}};
    Line l;
    StartSetterLine(l, "FT_SetDataCharacteristics", h, args);
    return EndWithStatus(l, g_inner.SetDataCharacteristics(h, bits, stop, parity));
}

FT_STATUS KQ_D2XX_CALL TSetFlowControl(FT_HANDLE h, USHORT flow, UCHAR xon, UCHAR xoff) {
    const Number args[] = {{"flow", flow, true}, {"xon", xon, true}, {"xoff", xoff, true}};
    Line l;
    StartSetterLine(l, "FT_SetFlowControl", h, args);
    return EndWithStatus(l, g_inner.SetFlowControl(h, flow, xon, xoff));
}

FT_STATUS KQ_D2XX_CALL TSetTimeouts(FT_HANDLE h, ULONG read_ms, ULONG write_ms) {
    const Number args[] = {{"read_ms", read_ms, false}, {"write_ms", write_ms, false}};
    Line l;
    StartSetterLine(l, "FT_SetTimeouts", h, args);
    return EndWithStatus(l, g_inner.SetTimeouts(h, read_ms, write_ms));
}

FT_STATUS KQ_D2XX_CALL TPurge(FT_HANDLE h, ULONG mask) {
    const Number args[] = {{"mask", mask, true}};
    Line l;
    StartSetterLine(l, "FT_Purge", h, args);
    return EndWithStatus(l, g_inner.Purge(h, mask));
}

FT_STATUS KQ_D2XX_CALL TGetStatus(FT_HANDLE h, DWORD* rx, DWORD* tx, DWORD* events) {
    Line l;
    StartCallLine(l, "FT_GetStatus");
    ArgHandle(l, h);
    FT_STATUS s = g_inner.GetStatus(h, rx, tx, events);
    Status(l, s);
    if (s == FT_OK && rx != nullptr && tx != nullptr && events != nullptr) {
        Put(l, ", ");
        Arg(l, "rx", *rx);
        Arg(l, "tx", *tx);
        Arg(l, "events", *events, true);
    }
    Emit(l);
    return s;
}

FT_STATUS KQ_D2XX_CALL TGetQueueStatus(FT_HANDLE h, DWORD* rx) {
    Line l;
    StartCallLine(l, "FT_GetQueueStatus");
    ArgHandle(l, h);
    FT_STATUS s = g_inner.GetQueueStatus(h, rx);
    Status(l, s);
    if (s == FT_OK && rx != nullptr) {
        Put(l, ", ");
        Arg(l, "rx", *rx);
    }
    Emit(l);
    return s;
}

// FT_Write and FT_Read: "h=H, n=N" before the call ...
void StartTransferLine(Line& l, const char* call, FT_HANDLE h, DWORD n) {
    StartCallLine(l, call);
    ArgHandle(l, h);
    Arg(l, "n", n);
}

// ... and "= STATUS NAME, DONE written|read BYTES" after it.
void EmitTransfer(Line& l, FT_STATUS s, DWORD done, const char* verb, const void* buf,
                  size_t shown) {
    Status(l, s);
    Put(l, ", ");
    PutDec(l, done);
    Put(l, verb);
    PutBytes(l, buf, shown);
    Emit(l);
}

FT_STATUS KQ_D2XX_CALL TWrite(FT_HANDLE h, void* buf, DWORD n, DWORD* written) {
    Line l;
    StartTransferLine(l, "FT_Write", h, n);
    FT_STATUS s = g_inner.Write(h, buf, n, written);
    DWORD done = written != nullptr ? *written : 0;
    // What was handed over, even when the write failed or fell short.
    EmitTransfer(l, s, done, " written ", buf, s == FT_OK && done <= n ? done : n);
    return s;
}

FT_STATUS KQ_D2XX_CALL TRead(FT_HANDLE h, void* buf, DWORD n, DWORD* read) {
    Line l;
    StartTransferLine(l, "FT_Read", h, n);
    FT_STATUS s = g_inner.Read(h, buf, n, read);
    DWORD got = read != nullptr && s == FT_OK ? *read : 0;
    if (got > n) {
        got = n;
    }
    EmitTransfer(l, s, got, " read ", buf, got);
    return s;
}

int OpenDestination(const char* where) {
    if (std::strcmp(where, "stderr") == 0) {
        return 2;
    }
    return OpenForAppending(where);
}

} // namespace

void TraceWrap(D2xxApi* api) {
    const char* where = EnvValue("KQ_TRACE");
    if (where == nullptr || where[0] == '\0') {
        return;
    }
    g_fd = OpenDestination(where);
    if (g_fd < 0) {
        // Asked for a trace and cannot give one: say so, once.
        Line l;
        Put(l, "kq: KQ_TRACE: cannot open ");
        Put(l, where);
        Put(l, " for appending; not tracing\n");
        WriteOnce(2, l.text, l.len);
        return;
    }
    g_inner = *api;
    // By name: an entry in the wrong place does not compile.
    *api = D2xxApi{
        .ListDevices = TListDevices,
        .OpenEx = TOpenEx,
        .ResetDevice = TResetDevice,
        .SetBaudRate = TSetBaudRate,
        .SetDataCharacteristics = TSetDataCharacteristics,
        .SetFlowControl = TSetFlowControl,
        .SetTimeouts = TSetTimeouts,
        .Purge = TPurge,
        .GetStatus = TGetStatus,
        .GetQueueStatus = TGetQueueStatus,
        .SetBreakOn = TSetBreakOn,
        .SetBreakOff = TSetBreakOff,
        .Write = TWrite,
        .Read = TRead,
        .Close = TClose,
    };
}

} // namespace kq
