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
