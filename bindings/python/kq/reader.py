"""The Reader class (one KQ_PROPERTY record and the operations on it), its
loop mode (Loop, Event), and listing the attached readers."""

from __future__ import annotations

import asyncio
import ctypes
import enum
import select
import threading
import warnings
from dataclasses import dataclass, field
from typing import (Any, AsyncIterator, Dict, Iterator, List, Mapping, Optional, Union)

from . import _args as check
from . import _native as n
from ._channel import RECORD_SIZE, SocketChannel, new_channel
from ._version import __version__
from .errors import (ArgumentError, ArgumentTypeError, BuzzerError, CloseWarning, DeviceError,
                     DeviceLostError, KqError, NotOpenError, from_code)

_lib: Any = None
_lib_lock = threading.Lock()


def library() -> Any:
    """The loaded KQ library (loaded and version-checked on first use; see
    _native.library_candidates for where it is looked for)."""
    global _lib
    with _lib_lock:
        if _lib is None:
            _lib = n.load_library(__version__)
        return _lib


def library_version() -> str:
    """Version of the loaded library, "MAJOR.MINOR.PATCH" (KQ_GetVersion)."""
    return n.version_text(library().KQ_GetVersion())


def _text(raw: Any) -> str:
    return bytes(raw).split(b"\0", 1)[0].decode("latin-1")


def _clear(struct: Any, name: str, size: int) -> None:
    ctypes.memset(ctypes.addressof(struct) + getattr(type(struct), name).offset, 0, size)


# ---- Listing -------------------------------------------------------------------


def list_readers() -> List[str]:
    """Serial numbers of every attached reader, in the driver's order
    (KQ_GetReaderCount, KQ_GetSerialNoAt). Empty when none is attached, and
    also when the driver cannot list devices at all. A reader unplugged
    while the list is taken is left out."""
    lib = library()
    count = ctypes.c_int(0)
    if lib.KQ_GetReaderCount(ctypes.byref(count)) != n.KQ_OK:
        return []
    serials = []
    for index in range(count.value):
        buf = ctypes.create_string_buffer(n.KQ_SERIALNO_BUFFER_SIZE)
        if lib.KQ_GetSerialNoAt(index, buf) == n.KQ_OK and buf.value:
            serials.append(buf.value.decode("latin-1"))
    return serials


def first_serial() -> str:
    """Serial number of the first attached reader (KQ_GetSerialNo);
    DeviceError (KQ_ERR_SERIALNO) when none is attached."""
    buf = ctypes.create_string_buffer(n.KQ_SERIALNO_BUFFER_SIZE)
    rc = library().KQ_GetSerialNo(buf)
    if rc != n.KQ_OK:
        raise DeviceError(rc, "KQ_GetSerialNo",
                          f"KQ_GetSerialNo failed: {rc} KQ_ERR_SERIALNO: no reader is attached "
                          "(or the driver cannot list readers)")
    return buf.value.decode("latin-1")


# ---- Results and events ------------------------------------------------------------


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


class EventKind(str, enum.Enum):
    """The kinds of loop events; each compares equal to its name, which is
    the same in kqtool's JSON and the .NET binding (Data, LoopEnd,
    DeviceLost)."""

    DATA = "data"              # WM_KQ_DATA: new results stand in the record
    LOOP_END = "loop_end"      # WM_KQ_LOOPEND: KQ_LoopStop ended the worker
    DEVICE_LOST = "device_lost"  # WM_KQ_USBERROR: the worker lost the device

    def __str__(self) -> str:
        return self.value


_KINDS = {n.WM_KQ_DATA: EventKind.DATA, n.WM_KQ_LOOPEND: EventKind.LOOP_END,
          n.WM_KQ_USBERROR: EventKind.DEVICE_LOST}

LoopResult = Union[List[str], MultiResult, str, None]


@dataclass
class Event:
    """One loop notification. kind: EventKind (a str: "data", "loop_end",
    "device_lost"); message: WM_KQ_DATA, WM_KQ_LOOPEND or WM_KQ_USBERROR.
    For "data", result holds what the worker had stored when the event was
    read: a list of UIDs (UID loop), a MultiResult (multi-read/-write loop)
    or the reply text (tag-command loop)."""

    message: int
    kind: EventKind
    result: LoopResult = None


# ---- The reader ----------------------------------------------------------------------


class Reader:
    """One reader connection:

        with kq.Reader() as r:          # opens; closes when the block ends
            print(r.inventory())

    serial: the reader's serial number (default: the first attached reader,
    see list_readers()). Timeouts are in ms; buzzer=True beeps (buzzer_time
    x 100 ms) after every successful tag operation. Every operation raises
    NotOpenError while the reader is not open, before anything reaches the
    library. The KQ_PROPERTY record lives inside this object (ctypes memory
    never moves) until close() has stopped any loop worker and released the
    device.
    """

    def __init__(self, serial: Optional[str] = None, read_timeout: int = 500,
                 write_timeout: int = 500, buzzer: bool = False, buzzer_time: int = 1) -> None:
        op = "Reader"
        if serial is not None:
            check.text(serial, "serial", 63, op, 1)
        self._serial_arg: Optional[str] = serial
        read_timeout = check.integer(read_timeout, "read_timeout", 0, 0xFFFFFFFF, op)
        write_timeout = check.integer(write_timeout, "write_timeout", 0, 0xFFFFFFFF, op)
        buzzer = check.flag(buzzer, "buzzer", op)
        buzzer_time = check.integer(buzzer_time, "buzzer_time", 0, 255, op)
        self._lib = library()
        self._prop = n.KQ_PROPERTY()  # zeroed: no handle, no worker
        self._serial: Optional[ctypes.Array[ctypes.c_char]] = None
        self._prop.ReadTimeout = read_timeout
        self._prop.WriteTimeout = write_timeout
        self._prop.BuzzerOn = 1 if buzzer else 0
        self._prop.BuzzerTime = buzzer_time
        self._prop.StopFlag = 1
        self._loop: Optional[Loop] = None
        self._open = False

    # ---- Connection --------------------------------------------------------------

    @property
    def serial(self) -> Optional[str]:
        """Serial number of the reader (None before the first open())."""
        return None if self._serial is None else self._serial.value.decode("latin-1")

    @property
    def is_open(self) -> bool:
        """True between open() and close()."""
        return self._open

    @property
    def record(self) -> n.KQ_PROPERTY:
        """The KQ_PROPERTY record itself (ctypes), for what this class does
        not cover. Calls made on it directly are not guarded."""
        return self._prop

    def open(self) -> "Reader":
        """Opens the reader (KQ_OpenUSB: open, reset, line settings). On a
        reader that is already open it does nothing (no second reset).
        DeviceError when no reader is attached or it cannot be opened."""
        if self._open:
            return self
        serial = self._serial_arg if self._serial_arg is not None else first_serial()
        self._serial = ctypes.create_string_buffer(serial.encode("ascii"))
        self._prop.SerialNo = ctypes.cast(self._serial, ctypes.c_void_p)
        self._lib.KQ_Init_PROPERTY(self._prop)
        rc = self._lib.KQ_OpenUSB(self._prop)
        if rc != n.KQ_OK:
            raise DeviceError(rc, "KQ_OpenUSB",
                              f"KQ_OpenUSB failed: {rc} {n_name(rc)}: cannot open reader "
                              f"{serial!r} (not attached, or in use by another program)")
        self._open = True
        return self

    def close(self) -> None:
        """Stops a running loop, then closes the device. Never raises: a
        driver that fails to close the device (KQ_ERR_CLOSE) gives a
        CloseWarning. A device that is gone needs no closing. Safe to call
        twice; open() may follow."""
        try:
            if self._loop is not None:
                self._loop.close()
        except Exception as e:  # pragma: no cover - KQ_LoopStop always returns KQ_OK
            warnings.warn(CloseWarning(f"stopping the loop failed: {e}"), stacklevel=2)
        if not self._open:
            return
        self._open = False
        if not self._prop.Handle:
            return  # the library released a vanished device already
        rc = self._lib.KQ_CloseUSB(self._prop)
        if rc != n.KQ_OK:
            warnings.warn(CloseWarning(f"KQ_CloseUSB failed: {rc} {n_name(rc)}; the reader is "
                                       "marked closed and the next open() releases the handle"),
                          stacklevel=2)

    def __enter__(self) -> "Reader":
        return self.open()

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        # The worker holds the record's address: never let it outlive us.
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                self.close()
        except Exception:
            pass

    def __repr__(self) -> str:
        state = "open" if self._open else "closed"
        return f"<kq.Reader {self.serial or self._serial_arg or '(first reader)'} {state}>"

    def _ready(self, operation: str) -> None:
        """Refuses every operation on a reader that is not open: the
        library's connection check would otherwise reopen the device."""
        if not self._open:
            raise NotOpenError(operation)

    def _fail(self, rc: int, operation: str) -> KqError:
        """The exception for a failure; a failure on the USB side of a
        device that no longer answers its status probe is DeviceLostError."""
        err = from_code(rc, operation)
        if rc in (n.KQ_ERR_USB, n.KQ_ERR_SEND, n.KQ_ERR_RECEIVE, n.KQ_ERR_NOREPLY):
            if not self._prop.Handle or self._lib.KQ_CheckStatusUSB(self._prop) != 0:
                lost = DeviceLostError(rc, operation, f"{err}: the reader is gone "
                                                      "(unplugged or without power)")
                return lost
        return err

    def _call(self, operation: str, *args: Any) -> None:
        rc = getattr(self._lib, operation)(self._prop, *args)
        if rc != n.KQ_OK:
            raise self._fail(rc, operation)

    def check_status(self) -> int:
        """The driver's status number of the device (0 = present)."""
        self._ready("KQ_CheckStatusUSB")
        return int(self._lib.KQ_CheckStatusUSB(self._prop))

    # ---- One-shot operations -------------------------------------------------------

    def _one_shot(self, operation: str) -> None:
        self._ready(operation)
        if self._loop is not None:
            self._loop.close()  # as the library does before its operations
        self._prop.LoopMode = 0

    def inventory(self) -> List[str]:
        """UIDs of the tags in the field (up to four)."""
        self._one_shot("KQ_GetUID")
        self._run("KQ_GetUID", self._uids)
        return self._uids()

    def _run(self, operation: str, result: Any, *args: Any) -> None:
        """Calls operation; a BuzzerError carries the operation's result."""
        rc = getattr(self._lib, operation)(self._prop, *args)
        if rc == n.KQ_OK:
            return
        err = self._fail(rc, operation)
        if isinstance(err, BuzzerError):
            err.result = result()
        raise err

    def _uids(self) -> List[str]:
        gu = self._prop.OUT_GU
        return [_text(gu.TagInfo[i].UID) for i in range(min(gu.Count, 4))]

    def tag_command(self, text: str) -> str:
        """Sends a tag command (1-35 characters); returns the reply payload."""
        raw = check.text(text, "tag command", 35, "KQ_TagCommand", 1)
        self._one_shot("KQ_TagCommand")
        _clear(self._prop, "IN_TA", 36)
        self._prop.IN_TA = raw
        self._run("KQ_TagCommand", lambda: _text(self._prop.OUT_TA))
        return _text(self._prop.OUT_TA)

    def read(self, uid: str, start: int, count: int) -> str:
        """Text of count blocks (1-255) from block start of the tag uid."""
        op = "KQ_SelectRead"
        raw_uid = check.uid(uid, op)
        first, number = check.block_run(start, count, op)
        self._one_shot(op)
        req = n.KQ_IN_SR()
        req.StartBlock, req.BlockCount, req.UID = first, number, raw_uid
        out = n.KQ_TAGINFO()
        self._call(op, req, out)
        return _text(out.Data)

    def write(self, uid: str, start: int, count: int, text: str) -> None:
        """Writes text into count blocks from block start of the tag uid
        (4 or 8 characters a block: len(text) = 4*count or 8*count); the
        library reads the blocks back and compares."""
        op = "KQ_SelectWrite"
        raw_uid = check.uid(uid, op)
        first, number = check.block_run(start, count, op)
        raw = check.block_text(text, number, op)
        self._one_shot(op)
        req = n.KQ_IN_SW()
        req.StartBlock, req.BlockCount = first, number
        req.TagInfo.UID = raw_uid
        req.TagInfo.Data = raw
        self._call(op, req)

    def _mr_args(self, start: int, count: int) -> "tuple[int, int]":
        return check.block_run(start, count, "KQ_MultiRead", nothing=n.KQ_ERR_NOBLOCKS)

    def _set_mr(self, run: "tuple[int, int]") -> None:
        self._prop.IN_MR.StartBlock, self._prop.IN_MR.BlockCount = run

    def _mw_args(self, start: int, count: int,
                 texts: Mapping[str, str]) -> "tuple[int, int, list[tuple[bytes, bytes]]]":
        op = "KQ_MultiWrite"
        first, number = check.block_run(start, count, op, nothing=n.KQ_ERR_NOBLOCKS)
        if not isinstance(texts, Mapping):
            raise ArgumentTypeError(op, "texts must be a mapping {UID: text}, not "
                                        f"{type(texts).__name__}")
        if not 1 <= len(texts) <= 4:
            raise ArgumentError(op, f"texts must name 1-4 tags, not {len(texts)}")
        entries: "list[tuple[bytes, bytes]]" = []
        for uid, text in texts.items():
            raw_uid = check.uid(uid, op)
            if any(raw_uid == seen for seen, _ in entries):
                raise ArgumentError(op, f"UID {raw_uid.decode()} is named twice")
            entries.append((raw_uid, check.block_text(text, number, op, f"text for {uid}")))
        return first, number, entries

    def _set_mw(self, args: "tuple[int, int, list[tuple[bytes, bytes]]]") -> None:
        first, number, entries = args
        mw = self._prop.IN_MW
        self._lib.KQ_Init_IN_MW(mw)
        mw.StartBlock, mw.BlockCount = first, number
        for i, (uid, text) in enumerate(entries):
            mw.TagInfo[i].UID = uid
            mw.TagInfo[i].Data = text

    def _mr_result(self) -> MultiResult:
        mr = self._prop.OUT_MR
        tags: Dict[str, Optional[str]] = {}
        for i in range(min(mr.TagCount, 4)):
            data = _text(mr.TagInfo[i].Data)
            tags[_text(mr.TagInfo[i].UID)] = data if data else None
        return MultiResult(mr.TagCount, mr.DoneCount, tags)

    def _mw_result(self) -> MultiResult:
        mw = self._prop.OUT_MW
        tags: Dict[str, Optional[str]] = {
            _text(mw.TagInfo[i].UID): _text(mw.TagInfo[i].Data)
            for i in range(min(mw.DoneCount, 4))
        }
        return MultiResult(mw.TagCount, mw.DoneCount, tags)

    def multi_read(self, start: int, count: int) -> MultiResult:
        """Reads count blocks from block start of every tag in the field."""
        run = self._mr_args(start, count)
        self._one_shot("KQ_MultiRead")
        self._set_mr(run)
        self._run("KQ_MultiRead", self._mr_result)
        return self._mr_result()

    def multi_write(self, start: int, count: int, texts: Mapping[str, str]) -> MultiResult:
        """texts: {UID: text} (1-4 tags, each text 4*count or 8*count
        characters); writes each text into its tag if it is in the field."""
        args = self._mw_args(start, count, texts)
        self._one_shot("KQ_MultiWrite")
        self._set_mw(args)
        self._run("KQ_MultiWrite", self._mw_result)
        return self._mw_result()

    def sensor(self, uid: str, channel: int = 0, setting: int = 0) -> int:
        """One 8-bit measurement of the sensor tag uid. setting: explicit
        reference value (1-255), else (0) the channel's (0-2) configured one."""
        op = "KQ_SensorCommand"
        raw_uid = check.uid(uid, op)
        req = n.KQ_IN_SNSR()
        req.Channel = check.integer(channel, "channel", 0, 2, op)
        req.Setting = check.integer(setting, "setting", 0, 255, op)
        req.UID = raw_uid
        self._one_shot(op)
        out = n.KQ_OUT_SNSR()
        self._call(op, req, out)
        return int(out.Value)

    def beep(self, length: int = 1) -> None:
        """Sounds the buzzer for length (0-255) x 100 ms."""
        op = "KQ_BuzzerCommand"
        length = check.integer(length, "length", 0, 255, op)
        self._one_shot(op)
        self._call(op, length)

    # ---- Loop mode --------------------------------------------------------------------

    def loop_uid(self) -> "Loop":
        """Starts the UID loop; returns the Loop whose events carry UID lists."""
        self._ready("KQ_GetUID")
        return self._start_loop(n.KQ_LOOP_UID, "KQ_GetUID", None)

    def loop_multi_read(self, start: int, count: int) -> "Loop":
        run = self._mr_args(start, count)
        self._ready("KQ_MultiRead")
        return self._start_loop(n.KQ_LOOP_MULTIREAD, "KQ_MultiRead", lambda: self._set_mr(run))

    def loop_multi_write(self, start: int, count: int, texts: Mapping[str, str]) -> "Loop":
        args = self._mw_args(start, count, texts)
        self._ready("KQ_MultiWrite")
        return self._start_loop(n.KQ_LOOP_MULTIWRITE, "KQ_MultiWrite",
                                lambda: self._set_mw(args))

    def loop_tag_command(self, text: str) -> "Loop":
        """The tag-command loop (the library starts it when the first
        exchange fails; when it succeeds the reply is the loop's only event
        and no worker runs)."""
        raw = check.text(text, "tag command", 35, "KQ_TagCommand", 1)
        self._ready("KQ_TagCommand")

        def prepare() -> None:
            _clear(self._prop, "IN_TA", 36)
            self._prop.IN_TA = raw

        return self._start_loop(n.KQ_LOOP_TAGCOMMAND, "KQ_TagCommand", prepare)

    def _start_loop(self, kind: int, operation: str, prepare: Any) -> "Loop":
        if self._loop is not None:
            self._loop.close()
        if prepare is not None:
            prepare()
        loop = Loop(self, kind, new_channel())
        self._prop.hWnd = loop._channel.target
        self._prop.LoopMode = 1
        self._prop.StopFlag = 0
        rc = getattr(self._lib, operation)(self._prop)
        if rc != n.KQ_OK:
            loop.close()
            raise self._fail(rc, operation)
        self._loop = loop
        if kind == n.KQ_LOOP_TAGCOMMAND and not self._prop.hThread:
            # Answered at once: no worker; the reply is the only event.
            loop._pending.append(Event(n.WM_KQ_DATA, EventKind.DATA, _text(self._prop.OUT_TA)))
            loop._finished = True
        return loop

    def _snapshot(self, kind: int) -> LoopResult:
        if kind == n.KQ_LOOP_UID:
            return self._uids()
        if kind == n.KQ_LOOP_MULTIREAD:
            return self._mr_result()
        if kind == n.KQ_LOOP_MULTIWRITE:
            return self._mw_result()
        return _text(self._prop.OUT_TA)


def n_name(code: int) -> str:
    from .codes import result_name

    return result_name(code)


class Loop:
    """Events of a running loop worker.

    Iterate (``for event in loop``) to block until each event; the iteration
    ends after "loop_end" or "device_lost". poll(timeout) takes what has
    arrived; fileno() is for selectors. In asyncio: ``async for event in
    loop`` and ``await loop.aclose()`` (or ``async with``), which never block
    the event loop. stop() from any thread ends the worker (KQ_LoopStop,
    which waits for it, about one report interval) and so the iteration.
    """

    def __init__(self, reader: Reader, kind: int, channel: SocketChannel) -> None:
        self._reader = reader
        self._kind = kind
        self._channel = channel
        self._buffer = b""
        self._pending: List[Event] = []
        self._finished = False
        self._stopped = False
        self._closed = False
        self._lock = threading.Lock()
        self._receiving: Optional["asyncio.Task[bytes]"] = None

    def fileno(self) -> int:
        return self._channel.fileno()

    @property
    def finished(self) -> bool:
        """True once "loop_end" or "device_lost" has been read (or when no
        worker was started: a tag command answered at once)."""
        return self._finished

    def _take(self, chunk: bytes) -> None:
        """Turns received bytes into events (a record may arrive in parts)."""
        self._buffer += chunk
        while len(self._buffer) >= RECORD_SIZE:
            note = n.KQ_NOTIFICATION.from_buffer_copy(self._buffer[:RECORD_SIZE])
            self._buffer = self._buffer[RECORD_SIZE:]
            kind = _KINDS.get(note.Message)
            if kind is None:
                continue
            result = self._reader._snapshot(self._kind) if kind is EventKind.DATA else None
            self._pending.append(Event(note.Message, kind, result))
            if kind is not EventKind.DATA:
                self._finished = True

    def _drain(self) -> List[Event]:
        while not self._closed:
            try:
                chunk = self._channel.sock.recv(RECORD_SIZE * 64)
            except (BlockingIOError, InterruptedError):
                break
            if not chunk:
                break
            self._take(chunk)
        out, self._pending = self._pending, []
        return out

    def poll(self, timeout: Optional[float] = 0.0) -> List[Event]:
        """Events that have arrived, waiting up to timeout seconds (None =
        for ever) for the first."""
        # The wait holds no lock: close() from another thread must not wait
        # for a notification that may never come.
        if not self._pending and not self._closed and not self._finished:
            try:
                select.select([self._channel.sock], [], [], timeout)
            except (OSError, ValueError):  # closed meanwhile
                pass
        with self._lock:
            return self._drain()

    def __iter__(self) -> Iterator[Event]:
        while True:
            events = self.poll(None if not self._finished else 0)
            yield from events
            if self._finished or self._closed:
                return

    # ---- asyncio ----------------------------------------------------------------------

    def __aiter__(self) -> AsyncIterator[Event]:
        return self.events()

    async def events(self) -> AsyncIterator[Event]:
        """The events as an async iterator; ends after "loop_end" or
        "device_lost", or when the loop is closed."""
        aloop = asyncio.get_running_loop()
        while True:
            with self._lock:
                ready = self._drain()
            for event in ready:
                yield event
            if self._finished or self._closed:
                return
            self._receiving = aloop.create_task(
                aloop.sock_recv(self._channel.sock, RECORD_SIZE * 64))
            try:
                chunk = await self._receiving
            except asyncio.CancelledError:
                if self._closed:
                    return  # close() cancelled the receive
                raise
            except OSError:
                if self._closed:
                    return
                raise
            finally:
                self._receiving = None
            if not chunk:
                return
            with self._lock:
                self._take(chunk)

    async def astop(self) -> None:
        """stop() on a thread of the event loop's executor: the worker ends
        (KQ_LoopStop waits for it) while the event loop goes on running."""
        if not self._stopped:
            await asyncio.get_running_loop().run_in_executor(None, self.stop)

    async def aclose(self) -> None:
        """astop(), then closes the channel; never blocks the event loop."""
        await self.astop()
        self.close()

    async def __aenter__(self) -> "Loop":
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.aclose()

    # ---- Stopping ------------------------------------------------------------------------

    def stop(self) -> None:
        """Ends the worker (KQ_LoopStop; waits until it has ended). The
        iteration then ends with the "loop_end" event. Any thread may call
        it; it blocks for up to about one report interval (use astop() or
        aclose() in asyncio)."""
        if not self._stopped:
            self._stopped = True
            self._reader._lib.KQ_LoopStop(self._reader._prop)
            self._reader._prop.LoopMode = 0

    def close(self) -> None:
        """stop(), then closes the channel. The record no longer names it."""
        self.stop()
        with self._lock:
            if not self._closed:
                self._closed = True
                self._reader._prop.hWnd = None if n.WINDOWS else 0
                receiving = self._receiving
                if receiving is not None and not receiving.done():
                    receiving.get_loop().call_soon_threadsafe(receiving.cancel)
                self._channel.close()
        if self._reader._loop is self:
            self._reader._loop = None

    def __enter__(self) -> "Loop":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
