"""The exceptions of the binding, all under KqError.

Every exception carries ``code`` (a result code of kq.h, or None where the
library has none for it), ``name`` (kq.h's name of the code, or "reader
status 'X'") and ``operation`` (the KQ_ function, or the binding's own
method for checks made before any call).

    KqError
    +-- NotOpenError        the reader is not open: nothing was sent
    +-- ArgumentError       a bad value (also a ValueError); nothing was sent
    |   +-- ArgumentTypeError  a value of the wrong type (also a TypeError)
    +-- DeviceError         the USB side: open, send, receive, no reply, close
    |   +-- DeviceLostError the reader is gone (unplugged, powered off)
    +-- ReaderStatusError   the reader answered with a failure status 1-15
    +-- TagError            the tag refused, a write did not verify, a
    |                       multi operation's inventory failed
    +-- BuzzerError         the operation succeeded, the beep after it failed
    +-- LibraryVersionError the loaded library is not one this binding can use
"""

from __future__ import annotations

from typing import Any, Optional

from . import _native as n
from .codes import result_name


class KqError(Exception):
    """Base of every error of the binding."""

    code: Optional[int]
    name: str
    operation: str

    def __init__(self, code: Optional[int], operation: str, message: Optional[str] = None,
                 name: Optional[str] = None) -> None:
        self.code = code
        self.operation = operation
        if name is None:
            name = result_name(code, operation) if code is not None else "error"
        self.name = name
        if message is None:
            message = f"{operation} failed: {code} {name}"
        super().__init__(message)


class NotOpenError(KqError):
    """An operation on a reader that is not open (never opened, or closed).
    Raised before anything reaches the library or the driver. code is
    KQ_ERR_USB, what the library says for a record without a device."""

    def __init__(self, operation: str) -> None:
        super().__init__(n.KQ_ERR_USB, operation,
                         f"{operation}: the reader is not open (call open() first)")


class ArgumentError(KqError, ValueError):
    """A bad argument, found by the binding before anything was sent (code
    KQ_ERR_PARAM, or KQ_ERR_BLOCKSIZE for a text that fits no block size) or
    refused by the library (same codes, KQ_ERR_NOBLOCKS)."""

    def __init__(self, operation: str, message: Optional[str] = None,
                 code: int = n.KQ_ERR_PARAM) -> None:
        name = result_name(code, operation)
        if message is not None:
            message = f"{operation}: {message} ({code} {name})"
        super().__init__(code, operation, message, name)


class ArgumentTypeError(ArgumentError, TypeError):
    """An argument of the wrong type (for example a bool or a float where a
    block number is meant, bytes where text is meant)."""


class DeviceError(KqError):
    """The USB side failed: no device could be opened or reopened
    (KQ_ERR_USB), a frame could not be sent (KQ_ERR_SEND) or the reply not
    received (KQ_ERR_RECEIVE, KQ_ERR_NOREPLY), no reader could be listed
    (KQ_ERR_SERIALNO), the driver failed to close it (KQ_ERR_CLOSE), or the
    reader's own loop could not be switched off (KQ_ERR_LOOPSTOP)."""


class DeviceLostError(DeviceError):
    """The reader is gone: an operation failed on the USB side and the
    device no longer answers the driver's status probe (or a loop worker
    reported the loss). Plug it back in: the next operation reopens it."""


class ReaderStatusError(KqError):
    """The reader answered with a failure status (code 1-15, the status
    character read as a hexadecimal digit; status is that character).
    Status '2' is what the reader says for a tag that is not in the field."""

    @property
    def status(self) -> str:
        return "%X" % (self.code or 0)


class TagError(KqError):
    """The tag refused a tag command (KQ_ERR_TAG), a written run read back
    different (KQ_ERR_WRITE), an inventory's tag count was unusable
    (KQ_ERR_UIDCOUNT), or a multi operation's inventory failed (KQ_ERR_TAG)."""


class BuzzerError(KqError):
    """The operation succeeded but the beep after it failed (KQ_ERR_BUZZER).
    result holds what the operation returned."""

    result: Any = None


class CloseWarning(RuntimeWarning):
    """close() could not release the device (KQ_ERR_CLOSE from the driver).
    close() never raises: it warns with this and marks the reader closed;
    the next open() releases the old handle first."""


class LibraryVersionError(KqError, OSError):
    """The library that was found cannot be used by this binding: another
    MAJOR version, an older MINOR, or no KQ_GetVersion at all (before 0.2)."""


_DEVICE_CODES = {n.KQ_ERR_USB, n.KQ_ERR_SEND, n.KQ_ERR_RECEIVE, n.KQ_ERR_NOREPLY,
                 n.KQ_ERR_SERIALNO, n.KQ_ERR_CLOSE, n.KQ_ERR_LOOPSTOP}
_TAG_CODES = {n.KQ_ERR_TAG, n.KQ_ERR_WRITE, n.KQ_ERR_UIDCOUNT}
_ARGUMENT_CODES = {n.KQ_ERR_PARAM, n.KQ_ERR_BLOCKSIZE}
_MULTI = ("KQ_MultiRead", "KQ_MultiWrite")


def error_class(code: int, operation: str) -> "type[KqError]":
    """The exception class for a failure code of an operation (the device
    is not probed here: see DeviceLostError)."""
    if code == n.KQ_ERR_NOBLOCKS and operation in _MULTI:
        return ArgumentError
    if code in _ARGUMENT_CODES:
        return ArgumentError
    if code in _DEVICE_CODES:
        return DeviceError
    if code in _TAG_CODES:
        return TagError
    if code == n.KQ_ERR_BUZZER:
        return BuzzerError
    if 1 <= code <= 15:
        return ReaderStatusError
    return KqError


def from_code(code: int, operation: str) -> KqError:
    """The exception for a failure result of a KQ_ function."""
    cls = error_class(code, operation)
    if cls is ArgumentError:
        return ArgumentError(operation, code=code)
    return cls(code, operation)
