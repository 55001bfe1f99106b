"""The Reader class: one KQ_PROPERTY record and the operations on it."""

import ctypes
import os
import select
import threading
from dataclasses import dataclass, field
from typing import Dict, List, Optional

from . import _native as n
from .codes import result_name

_lib = None
_lib_lock = threading.Lock()


def library():
    """The loaded KQ library (loaded on first use; see _native.library_candidates)."""
    global _lib
    with _lib_lock:
        if _lib is None:
            _lib = n.load_library()
        return _lib


class KqError(Exception):
    """A KQ function returned a failure. code is the result code, name its
    kq.h name (or "reader status 'X'"), operation the KQ_ function."""

    def __init__(self, code, operation):
        self.code = code
        self.operation = operation
        self.name = result_name(code, operation)
        super().__init__(f"{operation} failed: {code} {self.name}")


def _check(code, operation):
    if code != n.KQ_OK:
        raise KqError(code, operation)


# ---- Arguments: checked before anything is copied into a record -------------

_FORBIDDEN = set("\x00\x02\r\n")


def _ascii(text, what, max_len):
    if not isinstance(text, str):
        raise TypeError(f"{what} must be str, not {type(text).__name__}")
    if len(text) > max_len:
        raise ValueError(f"{what} is {len(text)} characters, at most {max_len} fit")
    bad = [c for c in text if ord(c) > 0x7E or c in _FORBIDDEN]
    if bad:
        raise ValueError(f"{what} holds a character the reader cannot take: {bad[0]!r}")
    return text.encode("ascii")


def _uid(uid):
    raw = _ascii(uid, "UID", 16)
    if len(raw) != 16 or b" " in raw:
        raise ValueError(f"UID must be exactly 16 characters without spaces, got {uid!r}")
    return raw


def _byte(value, what, low=0, high=255):
    if not isinstance(value, int) or not low <= value <= high:
        raise ValueError(f"{what} must be an integer {low}-{high}, got {value!r}")
    return value


def _clear(struct, name, size):
    ctypes.memset(ctypes.addressof(struct) + getattr(type(struct), name).offset, 0, size)


def _text(raw):
    return bytes(raw).split(b"\0", 1)[0].decode("latin-1")


# ---- Results ------------------------------------------------------------------


@dataclass
class MultiResult:
    """Result of multi_read / multi_write (and of their loop events).

    tag_count: tags the inventory reported; done_count: tags read or written.
    multi_read: tags maps every UID of the inventory to its text, or None
    where its read failed. multi_write: tags maps each UID written to the
    text written."""

    tag_count: int
    done_count: int
    tags: Dict[str, Optional[str]] = field(default_factory=dict)


@dataclass
class Event:
    """One loop notification. message is WM_KQ_DATA, WM_KQ_LOOPEND or
    WM_KQ_USBERROR; kind is "data", "end" or "usb_error". For "data", result
    holds what the worker had stored when the event was read: a list of UIDs
    (UID loop), a MultiResult (multi-read/-write loop) or the reply text
    (tag-command loop)."""

    message: int
    kind: str
    result: object = None


_KINDS = {n.WM_KQ_DATA: "data", n.WM_KQ_LOOPEND: "end", n.WM_KQ_USBERROR: "usb_error"}


def first_serial():
    """Serial number of the first attached reader (KQ_GetSerialNo)."""
    buf = ctypes.create_string_buffer(n.KQ_SERIALNO_BUFFER_SIZE)
    _check(library().KQ_GetSerialNo(buf), "KQ_GetSerialNo")
    return buf.value.decode("latin-1")


class Reader:
    """One reader connection. Use as a context manager:

        with kq.Reader() as r:
            print(r.inventory())

    serial: the reader's serial number (default: the first attached reader).
    Timeouts are in ms; buzzer=True beeps (buzzer_time x 100 ms) after every
    successful tag operation. The KQ_PROPERTY record lives inside this object
    (ctypes memory never moves) until close() has stopped any loop worker and
    released the device.
    """

    def __init__(self, serial=None, read_timeout=500, write_timeout=500, buzzer=False,
                 buzzer_time=1):
        self._lib = library()
        self._prop = n.KQ_PROPERTY()  # zeroed: no handle, no worker
        self._serial = None
        self._serial_arg = serial
        self._prop.ReadTimeout = _byte(read_timeout, "read_timeout", 0, 0xFFFFFFFF)
        self._prop.WriteTimeout = _byte(write_timeout, "write_timeout", 0, 0xFFFFFFFF)
        self._prop.BuzzerOn = 1 if buzzer else 0
        self._prop.BuzzerTime = _byte(buzzer_time, "buzzer_time")
        self._prop.StopFlag = 1
        self._loop = None
        self._open = False

    # ---- Connection ------------------------------------------------------------

    @property
    def serial(self):
        """Serial number of the open reader (None before open())."""
        return None if self._serial is None else self._serial.value.decode("latin-1")

    @property
    def record(self):
        """The KQ_PROPERTY record itself (ctypes), for what this class does not cover."""
        return self._prop

    def open(self):
        serial = self._serial_arg if self._serial_arg is not None else first_serial()
        self._serial = ctypes.create_string_buffer(_ascii(serial, "serial", 63))
        self._prop.SerialNo = ctypes.cast(self._serial, ctypes.c_void_p)
        self._lib.KQ_Init_PROPERTY(self._prop)
        _check(self._lib.KQ_OpenUSB(self._prop), "KQ_OpenUSB")
        self._open = True
        return self

    def close(self):
        """Stops a running loop, then closes the device. Safe to call twice."""
        if self._loop is not None:
            self._loop.close()
        if self._open:
            self._open = False
            _check(self._lib.KQ_CloseUSB(self._prop), "KQ_CloseUSB")

    def __enter__(self):
        return self.open()

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        # The worker holds the record's address: never let it outlive us.
        try:
            self.close()
        except Exception:
            pass

    def check_status(self):
        """The driver's status number of the device (0 = present)."""
        return self._lib.KQ_CheckStatusUSB(self._prop)

    # ---- One-shot operations -------------------------------------------------------

    def _one_shot(self):
        self._prop.LoopMode = 0

    def inventory(self):
        """UIDs of the tags in the field (up to four)."""
        self._one_shot()
        _check(self._lib.KQ_GetUID(self._prop), "KQ_GetUID")
        return self._uids()

    def _uids(self):
        gu = self._prop.OUT_GU
        return [_text(gu.TagInfo[i].UID) for i in range(min(gu.Count, 4))]

    def tag_command(self, text):
        """Sends a tag command (at most 35 characters); returns the reply payload."""
        raw = _ascii(text, "tag command", 35)
        self._one_shot()
        _clear(self._prop, "IN_TA", 36)
        self._prop.IN_TA = raw
        _check(self._lib.KQ_TagCommand(self._prop), "KQ_TagCommand")
        return _text(self._prop.OUT_TA)

    def read(self, uid, start, count):
        """Text of count blocks from block start of the tag uid."""
        req = n.KQ_IN_SR()
        req.StartBlock = _byte(start, "start")
        req.BlockCount = _byte(count, "count")
        req.UID = _uid(uid)
        out = n.KQ_TAGINFO()
        _check(self._lib.KQ_SelectRead(self._prop, req, out), "KQ_SelectRead")
        return _text(out.Data)

    def write(self, uid, start, count, text):
        """Writes text into count blocks from block start of the tag uid
        (4 or 8 characters a block, len(text) = 4*count or 8*count); the
        library reads the blocks back and compares."""
        req = n.KQ_IN_SW()
        req.StartBlock = _byte(start, "start")
        req.BlockCount = _byte(count, "count", 1)
        req.TagInfo.UID = _uid(uid)
        req.TagInfo.Data = _ascii(text, "text", 2048)
        _check(self._lib.KQ_SelectWrite(self._prop, req), "KQ_SelectWrite")

    def _set_mr(self, start, count):
        self._prop.IN_MR.StartBlock = _byte(start, "start")
        self._prop.IN_MR.BlockCount = _byte(count, "count")

    def _set_mw(self, start, count, texts):
        if len(texts) > 4:
            raise ValueError(f"at most 4 tags can be written at once, got {len(texts)}")
        entries = [(_uid(u), _ascii(t, "text", 2048)) for u, t in texts.items()]
        mw = self._prop.IN_MW
        self._lib.KQ_Init_IN_MW(mw)
        mw.StartBlock = _byte(start, "start")
        mw.BlockCount = _byte(count, "count")
        for i, (uid, text) in enumerate(entries):
            mw.TagInfo[i].UID = uid
            mw.TagInfo[i].Data = text

    def _mr_result(self):
        mr = self._prop.OUT_MR
        tags = {}
        for i in range(min(mr.TagCount, 4)):
            data = _text(mr.TagInfo[i].Data)
            tags[_text(mr.TagInfo[i].UID)] = data if data else None
        return MultiResult(mr.TagCount, mr.DoneCount, tags)

    def _mw_result(self):
        mw = self._prop.OUT_MW
        tags = {
            _text(mw.TagInfo[i].UID): _text(mw.TagInfo[i].Data)
            for i in range(min(mw.DoneCount, 4))
        }
        return MultiResult(mw.TagCount, mw.DoneCount, tags)

    def multi_read(self, start, count):
        """Reads count blocks from block start of every tag in the field."""
        self._one_shot()
        self._set_mr(start, count)
        _check(self._lib.KQ_MultiRead(self._prop), "KQ_MultiRead")
        return self._mr_result()

    def multi_write(self, start, count, texts):
        """texts: {UID: text} (at most 4); writes each text into its tag if
        that tag is in the field."""
        self._one_shot()
        self._set_mw(start, count, texts)
        _check(self._lib.KQ_MultiWrite(self._prop), "KQ_MultiWrite")
        return self._mw_result()

    def sensor(self, uid, channel=0, setting=0):
        """One 8-bit measurement of the sensor tag uid. setting: explicit
        reference value (nonzero), else the channel's (0-2) configured one."""
        req = n.KQ_IN_SNSR()
        req.Channel = _byte(channel, "channel", 0, 2)
        req.Setting = _byte(setting, "setting")
        req.UID = _uid(uid)
        out = n.KQ_OUT_SNSR()
        _check(self._lib.KQ_SensorCommand(self._prop, req, out), "KQ_SensorCommand")
        return out.Value

    def beep(self, length=1):
        """Sounds the buzzer for length x 100 ms."""
        _check(self._lib.KQ_BuzzerCommand(self._prop, _byte(length, "length")),
               "KQ_BuzzerCommand")

    # ---- Loop mode ------------------------------------------------------------------

    def loop_uid(self):
        """Starts the UID loop; returns the Loop whose events carry UID lists."""
        return self._start_loop(n.KQ_LOOP_UID, "KQ_GetUID", None)

    def loop_multi_read(self, start, count):
        return self._start_loop(n.KQ_LOOP_MULTIREAD, "KQ_MultiRead",
                                lambda: self._set_mr(start, count))

    def loop_multi_write(self, start, count, texts):
        return self._start_loop(n.KQ_LOOP_MULTIWRITE, "KQ_MultiWrite",
                                lambda: self._set_mw(start, count, texts))

    def loop_tag_command(self, text):
        """The tag-command loop (the library starts it when the first
        exchange fails; when it succeeds the reply is the loop's first
        event and no worker runs)."""
        raw = _ascii(text, "tag command", 35)

        def prepare():
            _clear(self._prop, "IN_TA", 36)
            self._prop.IN_TA = raw

        return self._start_loop(n.KQ_LOOP_TAGCOMMAND, "KQ_TagCommand", prepare)

    def _start_loop(self, kind, operation, prepare):
        if n.WINDOWS:
            raise NotImplementedError("loop mode from Python needs a window on Windows")
        if self._loop is not None:
            self._loop.close()
        if prepare is not None:
            prepare()
        loop = Loop(self, kind)
        self._prop.hWnd = loop._write_fd
        self._prop.LoopMode = 1
        self._prop.StopFlag = 0
        try:
            _check(getattr(self._lib, operation)(self._prop), operation)
        except BaseException:
            loop.close()
            raise
        self._loop = loop
        if kind == n.KQ_LOOP_TAGCOMMAND and self._prop.hThread is None:
            # Answered at once: no worker; the reply is the only event.
            loop._pending.append(Event(n.WM_KQ_DATA, "data", _text(self._prop.OUT_TA)))
            loop._finished = True
        return loop

    def _snapshot(self, kind):
        if kind == n.KQ_LOOP_UID:
            return self._uids()
        if kind == n.KQ_LOOP_MULTIREAD:
            return self._mr_result()
        if kind == n.KQ_LOOP_MULTIWRITE:
            return self._mw_result()
        return _text(self._prop.OUT_TA)


class Loop:
    """Events of a running loop worker, read from the notification pipe.

    Iterate to block until each event (the iteration ends after "end" or
    "usb_error"); poll(timeout) to take what has arrived; fileno() for
    selectors and asyncio (loop.add_reader); stop() from any thread ends the
    worker (KQ_LoopStop) and the iteration.
    """

    _SIZE = ctypes.sizeof(n.KQ_NOTIFICATION)

    def __init__(self, reader, kind):
        self._reader = reader
        self._kind = kind
        self._read_fd, self._write_fd = os.pipe()
        os.set_blocking(self._write_fd, False)  # the library never waits anyway
        os.set_blocking(self._read_fd, False)
        self._buffer = b""
        self._pending = []
        self._finished = False
        self._stopped = False
        self._lock = threading.Lock()

    def fileno(self):
        return self._read_fd

    @property
    def finished(self):
        """True once "end" or "usb_error" has been read."""
        return self._finished

    def _drain(self):
        out, self._pending = self._pending, []
        while self._read_fd >= 0:
            try:
                chunk = os.read(self._read_fd, self._SIZE * 64)
            except BlockingIOError:
                break
            if not chunk:
                break
            self._buffer += chunk
        while len(self._buffer) >= self._SIZE:
            note = n.KQ_NOTIFICATION.from_buffer_copy(self._buffer[: self._SIZE])
            self._buffer = self._buffer[self._SIZE:]
            kind = _KINDS.get(note.Message, "unknown")
            result = self._reader._snapshot(self._kind) if kind == "data" else None
            out.append(Event(note.Message, kind, result))
            if kind in ("end", "usb_error"):
                self._finished = True
        return out

    def poll(self, timeout=0.0):
        """Events that have arrived, waiting up to timeout seconds (None =
        for ever) for the first."""
        with self._lock:
            if not self._pending and self._read_fd >= 0:
                select.select([self._read_fd], [], [], timeout)
            return self._drain() if self._read_fd >= 0 else []

    def __iter__(self):
        while True:
            events = self.poll(None if not self._finished else 0)
            yield from events
            if self._finished or self._read_fd < 0:
                return

    async def events(self):
        """The same events as an async iterator (asyncio)."""
        import asyncio

        aloop = asyncio.get_running_loop()
        while not self._finished and self._read_fd >= 0:
            ready = aloop.create_future()
            aloop.add_reader(self._read_fd, lambda: ready.done() or ready.set_result(None))
            try:
                if not self._pending:
                    await ready
            finally:
                aloop.remove_reader(self._read_fd)
            for event in self.poll(0):
                yield event

    def stop(self):
        """Ends the worker (KQ_LoopStop; waits until it has ended). The
        iteration then ends with the "end" event. Any thread may call it."""
        if not self._stopped:
            self._stopped = True
            self._reader._lib.KQ_LoopStop(self._reader._prop)
            self._reader._prop.LoopMode = 0

    def close(self):
        """stop(), then closes the pipe. The record no longer names it."""
        self.stop()
        with self._lock:
            if self._read_fd >= 0:
                self._reader._prop.hWnd = 0
                os.close(self._write_fd)
                os.close(self._read_fd)
                self._read_fd = self._write_fd = -1
        if self._reader._loop is self:
            self._reader._loop = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
