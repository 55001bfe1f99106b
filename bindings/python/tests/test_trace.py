"""KQ_TRACE seen from a client process: a trace destination that stops
reading never holds the client up, and lines stay whole."""

import os
import re
import subprocess
import sys

from conftest import ROOT, SCENARIO

LINE = re.compile(r"^\d\d:\d\d:\d\d\.\d{6} tid \d+ FT_\w+\(.*\) = \d+ FT_[A-Z_]+.* \[\d+\.\d{3} ms\]")


def test_a_full_trace_pipe_loses_lines_instead_of_blocking():
    # 3000 status probes write far more than a pipe holds; nobody reads
    # standard error until the client has ended.
    script = ("import kq\nr = kq.Reader(read_timeout=300).open()\n"
              "for _ in range(3000): r.check_status()\nprint(r.inventory())\nr.close()\n")
    env = dict(os.environ, KQ_TRACE="stderr", KQSIM_SCENARIO=str(SCENARIO))
    proc = subprocess.Popen([sys.executable, "-c", script], env=env, cwd=ROOT,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    proc.wait(timeout=60)  # would hang if a trace write blocked
    out, err = proc.communicate()
    assert proc.returncode == 0, err[-2000:]
    assert b"E0040150A1B2C301" in out
    lines = err.decode().splitlines()
    assert 100 < len(lines) < 3000  # the pipe filled up: the rest was dropped
    for line in lines:
        assert LINE.match(line), line


USE_AFTER_CLOSE = """
import os, kq
trace = os.environ["KQ_TRACE"]
uid = "E0040150A1B2C301"
calls = [
    lambda r: r.inventory(), lambda r: r.read(uid, 0, 1), lambda r: r.write(uid, 0, 1, "ABCD"),
    lambda r: r.multi_read(0, 1), lambda r: r.multi_write(0, 1, {uid: "ABCD"}),
    lambda r: r.tag_command("R0"), lambda r: r.sensor(uid), lambda r: r.beep(1),
    lambda r: r.check_status(), lambda r: r.loop_uid(), lambda r: r.loop_multi_read(0, 1),
    lambda r: r.loop_multi_write(0, 1, {uid: "ABCD"}), lambda r: r.loop_tag_command("R0"),
]
def refused(r):
    for call in calls:
        try:
            call(r)
        except kq.NotOpenError:
            continue
        raise SystemExit("not refused")
refused(kq.Reader())  # never opened
assert not os.path.exists(trace), "a driver call before any open"
r = kq.Reader(read_timeout=300).open()
print(r.inventory())
r.close()
size = os.path.getsize(trace)
refused(r)
r.close()
assert os.path.getsize(trace) == size, "traffic after close"
print("size", size)
"""


def test_use_after_close_sends_nothing(tmp_path):
    trace = tmp_path / "trace.log"
    env = dict(os.environ, KQ_TRACE=str(trace), KQSIM_SCENARIO=str(SCENARIO))
    proc = subprocess.run([sys.executable, "-c", USE_AFTER_CLOSE], env=env, cwd=ROOT,
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert "E0040150A1B2C301" in proc.stdout
    lines = trace.read_text().splitlines()
    assert f"size {trace.stat().st_size}" in proc.stdout
    # The last driver call is the close; nothing follows it.
    assert "FT_Close(" in lines[-1]
    assert sum("FT_OpenEx(" in line for line in lines) == 1


def test_the_example_opens_the_reader_once(tmp_path):
    trace = tmp_path / "trace.log"
    env = dict(os.environ, KQ_TRACE=str(trace), KQSIM_SCENARIO=str(SCENARIO))
    proc = subprocess.run([sys.executable, str(ROOT / "examples" / "kq_example.py")], env=env,
                          cwd=ROOT, capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr[-2000:]
    lines = trace.read_text().splitlines()
    assert sum("FT_OpenEx(" in line for line in lines) == 1
    assert sum("FT_Close(" in line for line in lines) == 1
    assert "readers: KQSIM0001" in proc.stdout
