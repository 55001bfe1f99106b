"""Argument checks, made before anything is copied into a record or sent.

Each raises ArgumentTypeError (also a TypeError) for a value of the wrong
type and ArgumentError (also a ValueError) for a value out of its range;
``operation`` names the KQ_ function the value was meant for.
"""

from __future__ import annotations

import operator
from typing import Any

from . import _native as n
from .errors import ArgumentError, ArgumentTypeError

LAST_BLOCK = 255
UID_LENGTH = 16
_HEX = set("0123456789ABCDEF")


def integer(value: Any, what: str, low: int, high: int, operation: str) -> int:
    """An int (or anything with __index__, but never a bool) in low..high."""
    if isinstance(value, bool):
        raise ArgumentTypeError(operation, f"{what} must be an integer, not a bool ({value!r})")
    try:
        number = operator.index(value)
    except TypeError:
        raise ArgumentTypeError(
            operation, f"{what} must be an integer, not {type(value).__name__} ({value!r})"
        ) from None
    if not low <= number <= high:
        raise ArgumentError(operation, f"{what} must be {low}-{high}, not {number}")
    return number


def flag(value: Any, what: str, operation: str) -> bool:
    if not isinstance(value, bool):
        raise ArgumentTypeError(operation, f"{what} must be True or False, not {value!r}")
    return value


def block_run(start: Any, count: Any, operation: str,
              nothing: int = n.KQ_ERR_PARAM) -> "tuple[int, int]":
    """start 0-255 and count 1-255 with the run ending at block 255 or
    before. nothing: the code for a count of 0 (KQ_ERR_NOBLOCKS for the
    multi operations, as the library says)."""
    first = integer(start, "start", 0, LAST_BLOCK, operation)
    number = integer(count, "count", 0, LAST_BLOCK, operation)
    if number == 0:
        raise ArgumentError(operation, "count must be 1-255, not 0 (nothing to do)", code=nothing)
    last = first + number - 1
    if last > LAST_BLOCK:
        raise ArgumentError(
            operation, f"blocks {first}-{last} pass block {LAST_BLOCK}, the last block number")
    return first, number


def _describe(c: str) -> str:
    names = {"\x00": "NUL", "\x02": "STX (0x02)", "\r": "a carriage return (CR)",
             "\n": "a line feed (LF)"}
    if c in names:
        return names[c]
    if ord(c) < 0x20 or ord(c) == 0x7F:
        return f"the control character 0x{ord(c):02X}"
    return f"the non-ASCII character {c!r} (U+{ord(c):04X})"


def text(value: Any, what: str, max_len: int, operation: str, min_len: int = 0) -> bytes:
    """Printable ASCII (0x20-0x7E) of min_len..max_len characters: no NUL
    (it would cut the text), no STX, CR or LF (they frame the reader's
    commands), nothing the reader's character set lacks."""
    if not isinstance(value, str):
        raise ArgumentTypeError(operation, f"{what} must be str, not {type(value).__name__}")
    if len(value) > max_len:
        raise ArgumentError(operation, f"{what} is {len(value)} characters, at most {max_len} fit")
    if len(value) < min_len:
        raise ArgumentError(operation, f"{what} is empty" if min_len == 1 else
                            f"{what} is {len(value)} characters, at least {min_len} are needed")
    for i, c in enumerate(value):
        if not 0x20 <= ord(c) <= 0x7E:
            raise ArgumentError(operation, f"{what} holds {_describe(c)} at position {i + 1}: "
                                           "only printable ASCII reaches the reader")
    return value.encode("ascii")


def uid(value: Any, operation: str, what: str = "UID") -> bytes:
    """A UID: exactly 16 hexadecimal digits, normalised to upper case (the
    reader reports UIDs in upper case and compares them as text)."""
    if not isinstance(value, str):
        raise ArgumentTypeError(operation, f"{what} must be str, not {type(value).__name__}")
    upper = value.upper()
    if len(upper) != UID_LENGTH or not set(upper) <= _HEX:
        raise ArgumentError(operation, f"{what} must be 16 hexadecimal digits, not {value!r} "
                                       f"({len(value)} characters)")
    return upper.encode("ascii")


def block_text(value: Any, count: int, operation: str, what: str = "text") -> bytes:
    """Text for count blocks: 4 or 8 characters a block (4*count or 8*count
    characters), else KQ_ERR_BLOCKSIZE as the library would say."""
    raw = text(value, what, 2048, operation)
    if len(raw) not in (4 * count, 8 * count):
        raise ArgumentError(
            operation, f"{what} is {len(raw)} characters; {count} block(s) take "
                       f"{4 * count} (4 a block) or {8 * count} (8 a block)",
            code=n.KQ_ERR_BLOCKSIZE)
    return raw
