"""The binding's declarations against kq.h: record layouts (as a C compiler
lays them out), result code names, constants and the export list."""

import ctypes
import re
import shutil
import subprocess

import pytest

import kq
from kq import _native as n

from conftest import HEADER, ROOT


def header_defines():
    text = HEADER.read_text()
    return {m[0]: int(m[1], 0) for m in re.findall(r"^#define (\w+) (0x[0-9A-Fa-f]+|\d+)\s", text, re.M)}


def test_result_names_are_the_headers_defines():
    defines = header_defines()
    from_header = {v: k for k, v in defines.items() if k == "KQ_OK" or k.startswith("KQ_ERR_")}
    assert kq.NAMES == from_header
    for value, name in from_header.items():
        assert getattr(kq, name) == value


def test_other_constants_match_the_header():
    defines = header_defines()
    for name in ("WM_KQ_DATA", "WM_KQ_LOOPEND", "WM_KQ_USBERROR", "KQ_SERIALNO_BUFFER_SIZE",
                 "KQ_LOOP_UID", "KQ_LOOP_MULTIREAD", "KQ_LOOP_MULTIWRITE", "KQ_LOOP_TAGCOMMAND"):
        assert getattr(n, name) == defines[name], name


def test_exactly_the_headers_exports_are_declared():
    declared = re.findall(r"^KQ_EXPORT int KQ_API (KQ_\w+)\(", HEADER.read_text(), re.M)
    assert len(declared) == 25
    assert sorted(n.EXPORTS) == sorted(declared)


def test_result_names_by_operation():
    assert kq.result_name(3, "KQ_MultiRead") == "KQ_ERR_NOBLOCKS"
    assert kq.result_name(3, "KQ_SelectRead") == "reader status '3'"
    assert kq.result_name(12) == "reader status 'C'"
    assert kq.result_name(99) == "unknown result 99"


@pytest.mark.skipif(shutil.which("cc") is None, reason="no C compiler")
def test_layout_is_what_a_c_compiler_makes_of_the_header(tmp_path):
    # Every size and offset the binding checks at import, printed by C.
    want = n.expected_layout(ctypes.sizeof(ctypes.c_void_p))
    lines = [f'printf("{k} %zu\\n", sizeof({k}));' for k in want["sizes"]]
    lines += [f'printf("{s}.{f} %zu\\n", offsetof({s}, {f}));' for s, f in want["offsets"]]
    src = tmp_path / "layout.c"
    src.write_text('#include <stdio.h>\n#include "kq.h"\nint main(void) {\n'
                   + "\n".join(lines) + "\nreturn 0;\n}\n")
    exe = tmp_path / "layout"
    subprocess.run(["cc", "-std=c99", "-I", str(ROOT / "include"), str(src), "-o", str(exe)],
                   check=True)
    out = subprocess.run([str(exe)], check=True, capture_output=True, text=True).stdout
    c_layout = dict(line.split() for line in out.splitlines())
    for name in want["sizes"]:
        assert int(c_layout[name]) == ctypes.sizeof(getattr(n, name)), name
    for s, f in want["offsets"]:
        assert int(c_layout[f"{s}.{f}"]) == getattr(getattr(n, s), f).offset, (s, f)
    assert n.layout_mismatches() == []
