"""Runs the binding against the simulated reader of a CMake build.

KQ_BUILD_BIN names the build's bin folder (default: build/release/bin of
this source tree). The simulated reader library is loaded here too: the
same file the KQ library loads through KQ_D2XX, so both share one simulator
and the tests control it through its kqsim_* functions.
"""

import ctypes
import os
import pathlib

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[3]
BIN = pathlib.Path(os.environ.get("KQ_BUILD_BIN", ROOT / "build" / "release" / "bin"))
SIM_PATH = str(BIN / "libkqsim_d2xx.so")
LIB_PATH = str(BIN / "libkq.so")
HEADER = ROOT / "include" / "kq.h"
SCENARIO = ROOT / "examples" / "field.scenario"

os.environ["KQ_D2XX"] = SIM_PATH
os.environ.setdefault("KQ_LIBRARY", LIB_PATH)
os.environ.pop("KQSIM_SCENARIO", None)  # these tests set the field up themselves

UID_A = "E004010000000001"
UID_B = "E004010000000002"
UID_SENSOR = "E0040100000000FF"
FT_CLOSE = 14  # enum kqsim_fn: KQSIM_FT_CLOSE


class Sim:
    """The kqsim_* control functions, with argument types."""

    def __init__(self, path):
        self.lib = ctypes.CDLL(path)
        c = ctypes
        for name, args, res in [
            ("kqsim_reset", [], None),
            ("kqsim_set_timing", [c.c_int], None),
            ("kqsim_tag_add", [c.c_char_p, c.c_uint, c.c_uint], c.c_int),
            ("kqsim_tag_remove", [c.c_char_p], c.c_int),
            ("kqsim_tag_set_data", [c.c_char_p, c.c_uint, c.c_char_p], c.c_int),
            ("kqsim_tag_get_data",
             [c.c_char_p, c.c_uint, c.c_uint, c.c_char_p, c.c_size_t], c.c_int),
            ("kqsim_tag_set_sensor", [c.c_char_p, c.c_uint, c.c_char_p], c.c_int),
            ("kqsim_ta_script", [c.c_char_p, c.c_char, c.c_char_p], None),
            ("kqsim_fail_chunk", [c.c_char_p, c.c_uint, c.c_char, c.c_int], None),
            ("kqsim_frame_count", [], c.c_size_t),
            ("kqsim_beep_count", [], c.c_uint),
            ("kqsim_unplug", [], None),
            ("kqsim_set_loop_interval", [c.c_uint], None),
            ("kqsim_replug", [], None),
            ("kqsim_device_add", [c.c_char_p], c.c_int),
            ("kqsim_device_remove_all", [], None),
            ("kqsim_select_device", [c.c_int], None),
            ("kqsim_open_handles", [], c.c_int),
            ("kqsim_call_count", [], c.c_size_t),
            ("kqsim_fail_call", [c.c_int, c.c_uint32, c.c_uint, c.c_int], None),
            ("kqsim_clear_faults", [], None),
            ("kqsim_force_status", [c.c_char_p, c.c_char, c.c_int], None),
        ]:
            fn = getattr(self.lib, name)
            fn.argtypes = args
            fn.restype = res
            setattr(self, name[len("kqsim_"):], fn)

    def data(self, uid, start, count):
        buf = ctypes.create_string_buffer(2100)
        n = self.tag_get_data(uid.encode(), start, count, buf, len(buf))
        return buf.value.decode() if n >= 0 else None


_sim = None


@pytest.fixture
def sim():
    """A reset simulator with instant timing: tags A (4-character blocks)
    and B (8-character blocks) and a sensor tag in the field."""
    global _sim
    if _sim is None:
        _sim = Sim(SIM_PATH)
    _sim.reset()
    _sim.set_timing(0)
    _sim.set_loop_interval(20)
    _sim.tag_add(UID_A.encode(), 4, 64)
    _sim.tag_add(UID_B.encode(), 8, 32)
    _sim.tag_set_sensor(UID_SENSOR.encode(), 0x5A, b"00A1B2C3")
    _sim.tag_add(UID_SENSOR.encode(), 4, 16)
    _sim.tag_set_data(UID_A.encode(), 0, b"HELLO-KQ")
    return _sim


@pytest.fixture
def reader(sim):
    import kq

    r = kq.Reader(read_timeout=300, write_timeout=300)
    r.open()
    yield r
    r.close()
