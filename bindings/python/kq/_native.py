"""ctypes declarations of kq.h: records, constants, the 28 exported functions.

The records are byte-packed exactly as in kq.h. Their sizes and offsets are
checked when this module is imported, against the numbers kq.h checks at
compile time, so a binding that disagrees with the library never runs.
"""

from __future__ import annotations

import ctypes
import os
import pathlib
import sys
from typing import Any, Dict, List, Tuple

# ---- Constants (kq.h) -------------------------------------------------------

KQ_OK = 0
KQ_ERR_NOBLOCKS = 3
KQ_ERR_NOREPLY = 10
KQ_ERR_USB = 16
KQ_ERR_SEND = 17
KQ_ERR_RECEIVE = 18
KQ_ERR_SERIALNO = 19
KQ_ERR_TAG = 20
KQ_ERR_WRITE = 21
KQ_ERR_UIDCOUNT = 22
KQ_ERR_BUZZER = 24
KQ_ERR_LOOPSTOP = 28
KQ_ERR_PARAM = 29
KQ_ERR_CLOSE = 30
KQ_ERR_BLOCKSIZE = 31

WM_KQ_DATA = 0xB001
WM_KQ_LOOPEND = 0xB002
WM_KQ_USBERROR = 0xB003

KQ_SERIALNO_BUFFER_SIZE = 64

KQ_LOOP_UID = 1
KQ_LOOP_MULTIREAD = 2
KQ_LOOP_MULTIWRITE = 3
KQ_LOOP_TAGCOMMAND = 4

WINDOWS = sys.platform == "win32"

# ---- Records ----------------------------------------------------------------


class KQ_TAGINFO(ctypes.Structure):
    _pack_ = 1
    _fields_ = [("UID", ctypes.c_char * 17), ("Data", ctypes.c_char * 2049)]


class KQ_IN_SR(ctypes.Structure):
    _pack_ = 1
    _fields_ = [
        ("StartBlock", ctypes.c_ubyte),
        ("BlockCount", ctypes.c_ubyte),
        ("UID", ctypes.c_char * 17),
    ]


class KQ_IN_SW(ctypes.Structure):
    _pack_ = 1
    _fields_ = [
        ("StartBlock", ctypes.c_ubyte),
        ("BlockCount", ctypes.c_ubyte),
        ("TagInfo", KQ_TAGINFO),
    ]


class KQ_IN_SNSR(ctypes.Structure):
    _pack_ = 1
    _fields_ = [
        ("Channel", ctypes.c_ubyte),
        ("Setting", ctypes.c_ubyte),
        ("UID", ctypes.c_char * 17),
    ]


class KQ_OUT_SNSR(ctypes.Structure):
    _pack_ = 1
    _fields_ = [("Value", ctypes.c_ubyte), ("Reserved", ctypes.c_ubyte * 17)]


KQ_IN_TA = ctypes.c_char * 36
KQ_OUT_TA = ctypes.c_char * 36


class KQ_OUT_GU(ctypes.Structure):
    _pack_ = 1
    _fields_ = [("Count", ctypes.c_ubyte), ("TagInfo", KQ_TAGINFO * 4)]


class KQ_IN_MR(ctypes.Structure):
    _pack_ = 1
    _fields_ = [("StartBlock", ctypes.c_ubyte), ("BlockCount", ctypes.c_ubyte)]


def _multi_fields(first: str, second: str) -> List[Tuple[str, Any]]:
    """KQ_OUT_MR, KQ_IN_MW and KQ_OUT_MW: two header bytes, four entries."""
    return [
        (first, ctypes.c_ubyte),
        (second, ctypes.c_ubyte),
        ("TagInfo", KQ_TAGINFO * 4),
    ]


class KQ_OUT_MR(ctypes.Structure):
    _pack_ = 1
    _fields_ = _multi_fields("TagCount", "DoneCount")


class KQ_IN_MW(ctypes.Structure):
    _pack_ = 1
    _fields_ = _multi_fields("StartBlock", "BlockCount")


class KQ_OUT_MW(ctypes.Structure):
    _pack_ = 1
    _fields_ = _multi_fields("TagCount", "DoneCount")


# Windows: a window handle; elsewhere a file descriptor (intptr_t).
KQ_HWND = ctypes.c_void_p if WINDOWS else ctypes.c_ssize_t


class KQ_PROPERTY(ctypes.Structure):
    _pack_ = 1
    _fields_ = [
        ("WriteTimeout", ctypes.c_uint32),
        ("ReadTimeout", ctypes.c_uint32),
        ("SerialNo", ctypes.c_void_p),  # const char*, kept alive by the owner
        ("Handle", ctypes.c_void_p),
        ("BuzzerOn", ctypes.c_ubyte),
        ("BuzzerTime", ctypes.c_ubyte),
        ("Reserved1", ctypes.c_ubyte * 2),
        ("LoopMode", ctypes.c_ubyte),
        ("StopFlag", ctypes.c_ubyte),
        ("LoopKind", ctypes.c_ubyte),
        ("Reserved2", ctypes.c_ubyte),
        ("hWnd", KQ_HWND),
        ("hThread", ctypes.c_void_p),
        ("IN_MR", KQ_IN_MR),
        ("IN_MW", KQ_IN_MW),
        ("IN_TA", KQ_IN_TA),
        ("OUT_GU", KQ_OUT_GU),
        ("OUT_MR", KQ_OUT_MR),
        ("OUT_MW", KQ_OUT_MW),
        ("OUT_TA", KQ_OUT_TA),
    ]


class KQ_NOTIFICATION(ctypes.Structure):
    _fields_ = [
        ("Message", ctypes.c_uint32),
        ("Zero", ctypes.c_uint32),
        ("wParam", ctypes.c_uint64),
        ("lParam", ctypes.c_uint64),
    ]


def expected_layout(pointer_size: int) -> Dict[str, Dict[Any, int]]:
    """The sizes and offsets kq.h checks, for a pointer width of 4 or 8."""
    w = pointer_size - 4  # widening of each of the four pointer fields
    return {
        "sizes": {
            "KQ_TAGINFO": 2066,
            "KQ_IN_SR": 19,
            "KQ_IN_SW": 2068,
            "KQ_IN_SNSR": 19,
            "KQ_OUT_SNSR": 18,
            "KQ_IN_TA": 36,
            "KQ_OUT_GU": 8265,
            "KQ_IN_MR": 2,
            "KQ_OUT_MR": 8266,
            "KQ_IN_MW": 8266,
            "KQ_OUT_MW": 8266,
            "KQ_NOTIFICATION": 24,
            "KQ_PROPERTY": 33169 + 4 * w,
        },
        "offsets": {
            ("KQ_TAGINFO", "Data"): 17,
            ("KQ_IN_SR", "UID"): 2,
            ("KQ_IN_SW", "TagInfo"): 2,
            ("KQ_IN_SNSR", "UID"): 2,
            ("KQ_OUT_GU", "TagInfo"): 1,
            ("KQ_OUT_MR", "TagInfo"): 2,
            ("KQ_IN_MW", "TagInfo"): 2,
            ("KQ_OUT_MW", "TagInfo"): 2,
            ("KQ_PROPERTY", "ReadTimeout"): 4,
            ("KQ_PROPERTY", "SerialNo"): 8,
            ("KQ_PROPERTY", "Handle"): 12 + w,
            ("KQ_PROPERTY", "BuzzerOn"): 16 + 2 * w,
            ("KQ_PROPERTY", "BuzzerTime"): 17 + 2 * w,
            ("KQ_PROPERTY", "LoopMode"): 20 + 2 * w,
            ("KQ_PROPERTY", "StopFlag"): 21 + 2 * w,
            ("KQ_PROPERTY", "LoopKind"): 22 + 2 * w,
            ("KQ_PROPERTY", "hWnd"): 24 + 2 * w,
            ("KQ_PROPERTY", "hThread"): 28 + 3 * w,
            ("KQ_PROPERTY", "IN_MR"): 32 + 4 * w,
            ("KQ_PROPERTY", "IN_MW"): 34 + 4 * w,
            ("KQ_PROPERTY", "IN_TA"): 8300 + 4 * w,
            ("KQ_PROPERTY", "OUT_GU"): 8336 + 4 * w,
            ("KQ_PROPERTY", "OUT_MR"): 16601 + 4 * w,
            ("KQ_PROPERTY", "OUT_MW"): 24867 + 4 * w,
            ("KQ_PROPERTY", "OUT_TA"): 33133 + 4 * w,
        },
    }


def layout_mismatches() -> List[str]:
    """Every size or offset of these declarations that differs from kq.h's."""
    want = expected_layout(ctypes.sizeof(ctypes.c_void_p))
    here = globals()
    bad = []
    for name, size in want["sizes"].items():
        got = ctypes.sizeof(here[name])
        if got != size:
            bad.append(f"sizeof({name}) is {got}, kq.h says {size}")
    for (name, field), offset in want["offsets"].items():
        got = getattr(here[name], field).offset
        if got != offset:
            bad.append(f"offsetof({name}, {field}) is {got}, kq.h says {offset}")
    return bad


_mismatches = layout_mismatches()
if _mismatches:
    raise ImportError("kq: record layout differs from kq.h: " + "; ".join(_mismatches))

# ---- Finding and binding the library -----------------------------------------

if WINDOWS:
    _NAMES = ["kq.dll"]
elif sys.platform == "darwin":
    _NAMES = ["libkq.0.dylib", "libkq.dylib"]
else:
    _NAMES = ["libkq.so.0", "libkq.so"]


def _build_folders() -> List[pathlib.Path]:
    """bin folders of CMake builds in the working directory or a folder
    above it, or in the source tree this package was imported from."""
    cwd = pathlib.Path.cwd()
    roots = [cwd] + list(cwd.parents)[:3]
    here = pathlib.Path(__file__).resolve()
    roots += list(here.parents)[:4]
    seen = []
    for root in roots:
        build = root / "build"
        for preset in ("release", "asan", "tsan"):
            folder = build / preset / "bin"
            if folder not in seen:
                seen.append(folder)
        if build.is_dir():
            for folder in sorted(build.glob("*/bin")):
                if folder not in seen:
                    seen.append(folder)
    return seen


def library_candidates() -> List[str]:
    """Where the library is looked for, in order: KQ_LIBRARY (a path), the
    installed library by its soname, then the bin folder of a CMake build
    below the working directory or the source tree."""
    out = []
    explicit = os.environ.get("KQ_LIBRARY")
    if explicit:
        return [explicit]
    out += _NAMES
    for folder in _build_folders():
        for name in _NAMES:
            path = folder / name
            if path.exists():
                out.append(str(path))
    return out


def version_text(number: int) -> str:
    """"MAJOR.MINOR.PATCH" of a KQ_VERSION_NUMBER-style number."""
    return f"{number // 10000}.{number // 100 % 100}.{number % 100}"


def check_version(lib: Any, where: str, binding_version: str) -> int:
    """Refuses a library this binding cannot use: one without KQ_GetVersion
    (before 0.2), another MAJOR version, or an older MINOR (it lacks
    functions the binding calls). Returns the library's version number."""
    from .errors import LibraryVersionError

    major, minor = (int(part) for part in binding_version.split(".")[:2])
    want = f"{major}.{minor}"
    try:
        get_version = lib.KQ_GetVersion
    except AttributeError:
        raise LibraryVersionError(
            None, "KQ_GetVersion",
            f"kq: the KQ library {where} is older than 0.2.0 (it has no KQ_GetVersion); "
            f"this binding ({binding_version}) needs {want} or a later {major}.x",
            name="library version") from None
    get_version.argtypes = []
    get_version.restype = ctypes.c_int32
    number = get_version()
    got_major, got_minor = number // 10000, number // 100 % 100
    if got_major != major or got_minor < minor:
        raise LibraryVersionError(
            None, "KQ_GetVersion",
            f"kq: the KQ library {where} is version {version_text(number)}; this binding "
            f"({binding_version}) needs {want} or a later {major}.x "
            f"(set KQ_LIBRARY to the path of a matching library)",
            name="library version")
    return int(number)


def load_library(binding_version: str) -> Any:
    """Loads the first library candidate that loads, checks its version and
    declares its exports."""
    loader: Any = getattr(ctypes, "WinDLL") if WINDOWS else ctypes.CDLL  # __stdcall on 32-bit Windows
    errors = []
    for candidate in library_candidates():
        try:
            lib = loader(candidate)
        except OSError as e:
            errors.append(f"{candidate}: {e}")
            continue
        check_version(lib, f"'{candidate}'", binding_version)
        _declare(lib)
        return lib
    raise OSError(
        "kq: cannot load the KQ library (set KQ_LIBRARY to its path); tried: "
        + "; ".join(errors)
    )


P = ctypes.POINTER

# name -> argument types; every export returns a 32-bit int.
EXPORTS = {
    "KQ_GetSerialNo": [ctypes.c_char_p],
    "KQ_GetReaderCount": [P(ctypes.c_int)],
    "KQ_GetSerialNoAt": [ctypes.c_int, ctypes.c_char_p],
    "KQ_GetVersion": [],
    "KQ_OpenUSB": [P(KQ_PROPERTY)],
    "KQ_CloseUSB": [P(KQ_PROPERTY)],
    "KQ_CheckStatusUSB": [P(KQ_PROPERTY)],
    "KQ_Init_TAGINFO": [P(KQ_TAGINFO)],
    "KQ_Init_PROPERTY": [P(KQ_PROPERTY)],
    "KQ_Init_IN_TA": [P(KQ_IN_TA)],
    "KQ_Init_OUT_TA": [P(KQ_OUT_TA)],
    "KQ_Init_IN_SR": [P(KQ_IN_SR)],
    "KQ_Init_IN_SNSR": [P(KQ_IN_SNSR)],
    "KQ_Init_OUT_SNSR": [P(KQ_OUT_SNSR)],
    "KQ_Init_IN_SW": [P(KQ_IN_SW)],
    "KQ_Init_OUT_GU": [P(KQ_OUT_GU)],
    "KQ_Init_IN_MW": [P(KQ_IN_MW)],
    "KQ_Init_OUT_MR": [P(KQ_OUT_MR)],
    "KQ_Init_OUT_MW": [P(KQ_OUT_MW)],
    "KQ_BuzzerCommand": [P(KQ_PROPERTY), ctypes.c_int],
    "KQ_LoopStop": [P(KQ_PROPERTY)],
    "KQ_GetUID": [P(KQ_PROPERTY)],
    "KQ_TagCommand": [P(KQ_PROPERTY)],
    "KQ_SelectRead": [P(KQ_PROPERTY), P(KQ_IN_SR), P(KQ_TAGINFO)],
    "KQ_SelectWrite": [P(KQ_PROPERTY), P(KQ_IN_SW)],
    "KQ_MultiRead": [P(KQ_PROPERTY)],
    "KQ_MultiWrite": [P(KQ_PROPERTY)],
    "KQ_SensorCommand": [P(KQ_PROPERTY), P(KQ_IN_SNSR), P(KQ_OUT_SNSR)],
}


def _declare(lib: Any) -> None:
    for name, argtypes in EXPORTS.items():
        fn = getattr(lib, name)
        fn.argtypes = argtypes
        fn.restype = ctypes.c_int32
