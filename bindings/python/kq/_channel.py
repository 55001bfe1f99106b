"""Where a loop worker's notifications arrive.

Both kinds end in the same place: the read end of a socket pair that
carries KQ_NOTIFICATION records (24 bytes each), which the Loop reads with
select, selectors or asyncio (``sock_recv`` works on every event loop,
Windows' proactor included).

- SocketChannel (Linux, macOS): the library itself writes the records into
  the pair's write end, whose descriptor is the record's hWnd.
- WindowChannel (Windows): hWnd is a message-only window created on a
  thread of its own; its window procedure turns each WM_KQ_* message the
  library posts into the same record and writes it into the pair.

Both write ends are non-blocking: a full pair loses the notification, as a
full Windows message queue would, and never holds up a worker.
"""

from __future__ import annotations

import ctypes
import socket
import threading
import types
from typing import Any, Optional

from . import _native as n

RECORD_SIZE = ctypes.sizeof(n.KQ_NOTIFICATION)


def record(message: int, wparam: int = 0, lparam: int = 0) -> bytes:
    """The KQ_NOTIFICATION record of one message, in native byte order."""
    return bytes(n.KQ_NOTIFICATION(message, 0, wparam & 0xFFFFFFFFFFFFFFFF,
                                   lparam & 0xFFFFFFFFFFFFFFFF))


class SocketChannel:
    """A socket pair; the library writes into the write end (POSIX)."""

    def __init__(self) -> None:
        self.sock, self._write = socket.socketpair()
        self.sock.setblocking(False)
        self._write.setblocking(False)

    @property
    def target(self) -> int:
        """The value for the record's hWnd."""
        return self._write.fileno()

    def forward(self, message: int, wparam: int = 0, lparam: int = 0) -> None:
        """Writes one record as the library would (used by WindowChannel)."""
        try:
            self._write.send(record(message, wparam, lparam))
        except (BlockingIOError, OSError):
            pass  # full or closed: the notification is lost, as documented

    def fileno(self) -> int:
        return self.sock.fileno()

    def close(self) -> None:
        try:
            self.sock.shutdown(socket.SHUT_RDWR)  # wakes a select() in another thread
        except OSError:
            pass
        self._write.close()
        self.sock.close()


class WindowChannel(SocketChannel):
    """Windows: a message-only window on its own thread forwards the
    WM_KQ_* messages into the socket pair."""

    def __init__(self) -> None:
        super().__init__()
        self._hwnd = 0
        self._failure: Optional[BaseException] = None
        ready = threading.Event()
        self._thread = threading.Thread(target=self._pump, args=(ready,), daemon=True,
                                        name="kq-notify-window")
        self._thread.start()
        ready.wait()
        if self._failure is not None:
            super().close()
            raise self._failure

    @property
    def target(self) -> int:
        return self._hwnd

    def _pump(self, ready: threading.Event) -> None:
        api = _win32()
        try:
            proc = api.WNDPROC(self._procedure)
            self._proc = proc  # kept alive as long as the window
            instance = api.kernel32.GetModuleHandleW(None)
            self._class_name = f"KqNotify{id(self):x}"
            wc = api.WNDCLASSEXW()
            wc.cbSize = ctypes.sizeof(api.WNDCLASSEXW)
            wc.lpfnWndProc = proc
            wc.hInstance = instance
            wc.lpszClassName = self._class_name
            if not api.user32.RegisterClassExW(ctypes.byref(wc)):
                raise OSError(getattr(ctypes, "get_last_error")(), "RegisterClassExW failed")
            hwnd = api.user32.CreateWindowExW(0, self._class_name, "kq", 0, 0, 0, 0, 0,
                                              api.HWND_MESSAGE, None, instance, None)
            if not hwnd:
                raise OSError(getattr(ctypes, "get_last_error")(), "CreateWindowExW failed")
            self._hwnd = hwnd
            self._instance = instance
        except BaseException as e:  # reported to the constructor's thread
            self._failure = e
            ready.set()
            return
        ready.set()
        msg = api.MSG()
        while api.user32.GetMessageW(ctypes.byref(msg), None, 0, 0) > 0:
            api.user32.TranslateMessage(ctypes.byref(msg))
            api.user32.DispatchMessageW(ctypes.byref(msg))
        api.user32.UnregisterClassW(self._class_name, self._instance)

    def _procedure(self, hwnd: Any, msg: int, wparam: int, lparam: int) -> int:
        api = _win32()
        if n.WM_KQ_DATA <= msg <= n.WM_KQ_USBERROR:
            self.forward(msg, wparam or 0, lparam or 0)
            return 0
        if msg == api.WM_CLOSE:
            api.user32.DestroyWindow(hwnd)
            return 0
        if msg == api.WM_DESTROY:
            api.user32.PostQuitMessage(0)
            return 0
        return int(api.user32.DefWindowProcW(hwnd, msg, wparam, lparam))

    def close(self) -> None:
        if self._hwnd:
            _win32().user32.PostMessageW(self._hwnd, _win32().WM_CLOSE, 0, 0)
            self._thread.join(5)
            self._hwnd = 0
        super().close()


_api: Any = None


def _win32() -> Any:
    """user32/kernel32 declarations (Windows only; built on first use)."""
    global _api
    if _api is not None:
        return _api
    from ctypes import wintypes

    api: Any = types.SimpleNamespace()
    LRESULT = ctypes.c_ssize_t
    api.WNDPROC = getattr(ctypes, "WINFUNCTYPE")(
        LRESULT, wintypes.HWND, wintypes.UINT, wintypes.WPARAM, wintypes.LPARAM)

    class WNDCLASSEXW(ctypes.Structure):
        _fields_ = [
            ("cbSize", wintypes.UINT), ("style", wintypes.UINT), ("lpfnWndProc", api.WNDPROC),
            ("cbClsExtra", ctypes.c_int), ("cbWndExtra", ctypes.c_int),
            ("hInstance", wintypes.HINSTANCE), ("hIcon", wintypes.HICON),
            ("hCursor", wintypes.HANDLE), ("hbrBackground", wintypes.HBRUSH),
            ("lpszMenuName", wintypes.LPCWSTR), ("lpszClassName", wintypes.LPCWSTR),
            ("hIconSm", wintypes.HICON),
        ]

    api.WNDCLASSEXW = WNDCLASSEXW
    api.MSG = wintypes.MSG
    api.HWND_MESSAGE = wintypes.HWND(-3)
    api.WM_CLOSE = 0x0010
    api.WM_DESTROY = 0x0002
    win_dll: Any = getattr(ctypes, "WinDLL")
    user32 = win_dll("user32", use_last_error=True)
    kernel32 = win_dll("kernel32", use_last_error=True)
    P = ctypes.POINTER
    decl: "list[tuple[Any, str, list[Any], Any]]" = [
        (user32, "RegisterClassExW", [P(WNDCLASSEXW)], wintypes.ATOM),
        (user32, "UnregisterClassW", [wintypes.LPCWSTR, wintypes.HINSTANCE], wintypes.BOOL),
        (user32, "CreateWindowExW",
         [wintypes.DWORD, wintypes.LPCWSTR, wintypes.LPCWSTR, wintypes.DWORD, ctypes.c_int,
          ctypes.c_int, ctypes.c_int, ctypes.c_int, wintypes.HWND, wintypes.HMENU,
          wintypes.HINSTANCE, wintypes.LPVOID], wintypes.HWND),
        (user32, "DefWindowProcW",
         [wintypes.HWND, wintypes.UINT, wintypes.WPARAM, wintypes.LPARAM], LRESULT),
        (user32, "GetMessageW", [P(wintypes.MSG), wintypes.HWND, wintypes.UINT, wintypes.UINT],
         wintypes.BOOL),
        (user32, "TranslateMessage", [P(wintypes.MSG)], wintypes.BOOL),
        (user32, "DispatchMessageW", [P(wintypes.MSG)], LRESULT),
        (user32, "PostMessageW",
         [wintypes.HWND, wintypes.UINT, wintypes.WPARAM, wintypes.LPARAM], wintypes.BOOL),
        (user32, "DestroyWindow", [wintypes.HWND], wintypes.BOOL),
        (user32, "PostQuitMessage", [ctypes.c_int], None),
        (kernel32, "GetModuleHandleW", [wintypes.LPCWSTR], wintypes.HMODULE),
    ]
    for dll, name, args, res in decl:
        fn = getattr(dll, name)
        fn.argtypes = args
        fn.restype = res
    api.user32 = user32
    api.kernel32 = kernel32
    _api = api
    return api


def new_channel() -> SocketChannel:
    return WindowChannel() if n.WINDOWS else SocketChannel()

