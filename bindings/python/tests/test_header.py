"""The binding's declarations against kq.h: record layouts (as a C compiler
lays them out), result code names, constants and the export list."""

import ctypes
import os
import re
import shutil
import subprocess
import sys

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
    assert len(declared) == 28  # the 25 of 0.1 and the three added in 0.2
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


def test_the_version_is_written_once_and_is_the_headers():
    defines = header_defines()
    text = HEADER.read_text()
    string = re.search(r'^#define KQ_VERSION_STRING "([\d.]+)"', text, re.M)[1]
    assert kq.__version__ == string
    assert [int(p) for p in kq.__version__.split(".")] == [
        defines["KQ_VERSION_MAJOR"], defines["KQ_VERSION_MINOR"], defines["KQ_VERSION_PATCH"]]
    package = ROOT / "bindings" / "python"
    pyproject = (package / "pyproject.toml").read_text()
    assert 'version = { attr = "kq._version.__version__" }' in pyproject
    assert not (package / "setup.py").exists()
    # No other file of the package assigns a version of its own.
    for path in (package / "kq").glob("*.py"):
        if path.name != "_version.py":
            assert not re.search(r"version\w*\s*=\s*['\"]\d", path.read_text()), path


FAKE_LIBRARIES = {
    "next_major": "int KQ_GetVersion(void) { return 10200; }",
    "older_minor": "int KQ_GetVersion(void) { return 100; }",
    "before_0_2": "int KQ_GetSerialNo(char* b) { (void)b; return 19; }",
}


@pytest.mark.skipif(shutil.which("cc") is None, reason="no C compiler")
@pytest.mark.parametrize("kind, says", [("next_major", "version 1.2.0"),
                                        ("older_minor", "version 0.1.0"),
                                        ("before_0_2", "older than 0.2.0")])
def test_a_library_of_another_version_is_refused(tmp_path, kind, says):
    src = tmp_path / "fake.c"
    src.write_text(FAKE_LIBRARIES[kind] + "\n")
    lib = tmp_path / "libkq.so.0"
    subprocess.run(["cc", "-shared", "-fPIC", str(src), "-o", str(lib)], check=True)
    env = dict(os.environ, KQ_LIBRARY=str(lib))
    script = ("import kq\ntry:\n    kq.list_readers()\nexcept kq.LibraryVersionError as e:\n"
              "    print('refused:', e)\n")
    out = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True,
                         check=True).stdout
    assert out.startswith("refused: ") and says in out and str(lib) in out
    assert f"needs {kq.__version__.rsplit('.', 1)[0]} or a later" in out
