"""The Reader class against the simulated reader."""

import asyncio
import os
import selectors
import subprocess
import sys
import threading
import time

import pytest

import kq

from conftest import ROOT, SCENARIO, UID_A, UID_B, UID_SENSOR


def test_one_shot_operations(sim, reader):
    assert reader.serial == "KQSIM0001"
    assert reader.inventory() == [UID_A, UID_B, UID_SENSOR]
    assert reader.read(UID_A, 0, 2) == "HELLO-KQ"
    reader.write(UID_B, 3, 2, "ABCDEFGH12345678")
    assert sim.data(UID_B, 3, 2) == "ABCDEFGH12345678"
    assert reader.read(UID_B, 3, 2) == "ABCDEFGH12345678"

    sim.ta_script(b"R0", b"0", b"00CAFE")
    assert reader.tag_command("R0") == "CAFE"
    # The comparator trips above 0x5A: successive approximation finds it.
    assert reader.sensor(UID_SENSOR) == 0x5A
    beeps = sim.beep_count()
    reader.beep(2)
    assert sim.beep_count() == beeps + 1
    assert reader.check_status() == 0


def test_multi_operations(sim, reader):
    sim.tag_set_data(UID_B.encode(), 0, b"BBBBBBBB")
    sim.fail_chunk(b"SR", 0, b"4", 1)  # the first tag's read fails
    result = reader.multi_read(0, 1)
    assert (result.tag_count, result.done_count) == (3, 2)
    assert result.tags == {UID_A: None, UID_B: "BBBBBBBB", UID_SENSOR: "0000"}

    result = reader.multi_write(5, 1, {UID_A: "WXYZ", "E0040100000000AA": "NONE"})
    assert (result.tag_count, result.done_count) == (3, 1)
    assert result.tags == {UID_A: "WXYZ"}
    assert sim.data(UID_A, 5, 1) == "WXYZ"


def test_failures_raise_with_code_and_name(sim, reader):
    with pytest.raises(kq.KqError) as e:
        reader.multi_read(0, 0)
    assert (e.value.code, e.value.name, e.value.operation) == (3, "KQ_ERR_NOBLOCKS", "KQ_MultiRead")
    sim.tag_remove(UID_B.encode())
    with pytest.raises(kq.KqError) as e:
        reader.read(UID_B, 0, 1)
    assert (e.value.code, e.value.name) == (2, "reader status '2'")
    with pytest.raises(kq.KqError) as e:
        reader.write(UID_A, 0, 2, "ABC")  # 3 characters fit no block size
    assert e.value.name == "KQ_ERR_BLOCKSIZE"
    assert "KQ_SelectWrite failed: 31 KQ_ERR_BLOCKSIZE" in str(e.value)

    with pytest.raises(kq.KqError) as e:
        kq.Reader(serial="NO-SUCH-READER").open()
    assert e.value.name == "KQ_ERR_USB"


def test_arguments_are_checked_before_anything_is_sent(sim, reader):
    frames = sim.frame_count()
    for bad in (UID_A + "7", UID_A[:15], "E00401000000 001", "E004010000000\u00e91"):
        with pytest.raises(ValueError):
            reader.read(bad, 0, 1)
    with pytest.raises(ValueError):
        reader.write(UID_A, 0, 1, "AB\r\n")
    with pytest.raises(ValueError):
        reader.tag_command("X" * 36)
    with pytest.raises(ValueError):
        reader.sensor(UID_SENSOR, channel=3)
    with pytest.raises(ValueError):
        reader.read(UID_A, 256, 1)
    with pytest.raises(ValueError):
        reader.multi_write(0, 1, {UID_A + "1": "ABCD"})
    with pytest.raises(TypeError):
        reader.write(UID_A, 0, 1, b"ABCD")
    assert sim.frame_count() == frames


def wait_for(loop, predicate, timeout=5.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        for event in loop.poll(0.1):
            if predicate(event):
                return event
    pytest.fail("no such event in time")


def test_uid_loop_follows_the_field_and_stops_from_another_thread(sim, reader):
    with reader.loop_uid() as loop:
        wait_for(loop, lambda e: e.kind == "data" and e.result == [UID_A, UID_B, UID_SENSOR])
        sim.tag_remove(UID_B.encode())
        wait_for(loop, lambda e: e.kind == "data" and e.result == [UID_A, UID_SENSOR])

        stopper = threading.Timer(0.2, loop.stop)
        stopper.start()
        kinds = [event.kind for event in loop]  # blocks until the loop ends
        stopper.join()
        assert kinds[-1] == "end" and set(kinds[:-1]) <= {"data"}
        assert loop.finished
    # The record is free for one-shot operations again.
    assert reader.inventory() == [UID_A, UID_SENSOR]


def test_loop_descriptor_with_selectors_and_asyncio(sim, reader):
    loop = reader.loop_multi_read(0, 2)
    with selectors.DefaultSelector() as sel:
        sel.register(loop, selectors.EVENT_READ)
        assert sel.select(timeout=5)
    event = loop.poll()[0]
    assert event.kind == "data"
    assert event.result.tags[UID_A] == "HELLO-KQ"
    loop.close()

    async def first_event(loop):
        async for event in loop.events():
            return event

    loop = reader.loop_uid()
    try:
        event = asyncio.run(asyncio.wait_for(first_event(loop), 5))
        assert event.result == [UID_A, UID_B, UID_SENSOR]
    finally:
        loop.close()


def test_tag_command_loop_answered_at_once_or_retried(sim, reader):
    sim.ta_script(b"R0", b"0", b"00CAFE")
    with reader.loop_tag_command("R0") as loop:  # no worker: one event
        assert [(e.kind, e.result) for e in loop] == [("data", "CAFE")]
    sim.ta_script(b"R1", b"0", b"07")  # the tag says no: the worker retries
    with reader.loop_tag_command("R1") as loop:
        assert reader.record.hThread is not None
        sim.ta_script(b"R1", b"0", b"00BEEF")
        assert wait_for(loop, lambda e: e.kind == "data").result == "BEEF"


def test_loop_ends_on_device_loss(sim, reader):
    with reader.loop_uid() as loop:
        wait_for(loop, lambda e: e.kind == "data")
        sim.unplug()
        event = wait_for(loop, lambda e: e.kind != "data")
        assert event.kind == "usb_error" and event.message == kq.WM_KQ_USBERROR
        assert loop.finished


def test_a_fresh_process_reads_the_scenario_field_and_runs_the_example():
    # No kqsim_* call: the field comes from KQSIM_SCENARIO alone, and the
    # library is found in the build folder from the source tree's root.
    env = dict(os.environ, KQSIM_SCENARIO=str(SCENARIO))
    env.pop("KQ_LIBRARY", None)
    script = "import kq\nwith kq.Reader() as r: print(r.inventory())"
    out = subprocess.run([sys.executable, "-c", script], env=env, cwd=ROOT, check=True,
                         capture_output=True, text=True).stdout
    assert "E0040150A1B2C301" in out and "E0040150A1B2C3FF" in out
    out = subprocess.run([sys.executable, str(ROOT / "examples" / "kq_example.py")], env=env,
                         cwd=ROOT, check=True, capture_output=True, text=True, timeout=60).stdout
    assert "HELLO-KQ-TAG-001" in out and "loop ended" in out


def test_library_not_found_says_where_it_looked(tmp_path):
    env = dict(os.environ, KQ_LIBRARY=str(tmp_path / "libkq.so"))
    proc = subprocess.run([sys.executable, "-c", "import kq; kq.Reader()"], env=env,
                          capture_output=True, text=True)
    assert proc.returncode != 0
    assert "KQ_LIBRARY" in proc.stderr and str(tmp_path) in proc.stderr
