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

from conftest import FT_CLOSE, ROOT, SCENARIO, UID_A, UID_B, UID_SENSOR


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
    with pytest.raises(kq.ArgumentError) as e:
        reader.multi_read(0, 0)  # refused here, with the code the library gives
    assert (e.value.code, e.value.name, e.value.operation) == (3, "KQ_ERR_NOBLOCKS", "KQ_MultiRead")
    sim.tag_remove(UID_B.encode())
    with pytest.raises(kq.ReaderStatusError) as e:
        reader.read(UID_B, 0, 1)
    assert (e.value.code, e.value.name, e.value.status) == (2, "reader status '2'", "2")
    with pytest.raises(kq.ReaderStatusError) as e:
        reader.read(UID_A, 62, 4)  # the tag has blocks 0-63
    assert e.value.name == "reader status '4'"
    assert "KQ_SelectRead failed: 4 reader status '4'" in str(e.value)
    with pytest.raises(kq.ArgumentError) as e:
        reader.write(UID_A, 0, 2, "ABC")  # 3 characters fit no block size
    assert (e.value.name, e.value.operation) == ("KQ_ERR_BLOCKSIZE", "KQ_SelectWrite")
    assert "31 KQ_ERR_BLOCKSIZE" in str(e.value)
    sim.ta_script(b"R9", b"0", b"07")
    with pytest.raises(kq.TagError) as e:
        reader.tag_command("R9")
    assert e.value.name == "KQ_ERR_TAG"

    with pytest.raises(kq.DeviceError) as e:
        kq.Reader(serial="NO-SUCH-READER").open()
    assert e.value.name == "KQ_ERR_USB" and "NO-SUCH-READER" in str(e.value)
    # Every one of them is a KqError.
    assert issubclass(kq.DeviceLostError, kq.DeviceError)
    for cls in (kq.NotOpenError, kq.ArgumentError, kq.DeviceError, kq.ReaderStatusError,
                kq.TagError, kq.BuzzerError, kq.LibraryVersionError):
        assert issubclass(cls, kq.KqError)


def test_a_failed_beep_after_a_good_inventory_keeps_the_result(sim):
    r = kq.Reader(buzzer=True, read_timeout=300).open()
    try:
        sim.force_status(b"BZ", b"4", 1)
        with pytest.raises(kq.BuzzerError) as e:
            r.inventory()
        assert e.value.name == "KQ_ERR_BUZZER"
        assert e.value.result == [UID_A, UID_B, UID_SENSOR]
    finally:
        r.close()


def test_lower_case_uids_are_normalised(sim, reader):
    assert reader.read(UID_A.lower(), 0, 2) == "HELLO-KQ"
    reader.write(UID_B.lower(), 0, 1, "lowercas")
    assert sim.data(UID_B, 0, 1) == "lowercas"  # the text itself is not changed
    result = reader.multi_write(1, 1, {UID_A.lower(): "ABCD"})
    assert result.tags == {UID_A: "ABCD"}


# Each call must fail in the binding: no frame, no driver call at all.
REFUSED = [
    (TypeError, lambda r: r.read(UID_A, True, 1)),  # a bool is not block 1
    (TypeError, lambda r: r.read(UID_A, 0, False)),
    (TypeError, lambda r: r.read(UID_A, 0.0, 1)),
    (TypeError, lambda r: r.read(UID_A, "0", 1)),
    (TypeError, lambda r: r.read(None, 0, 1)),
    (TypeError, lambda r: r.read(UID_A.encode(), 0, 1)),
    (ValueError, lambda r: r.read(UID_A, 255, 2)),  # blocks 255-256
    (ValueError, lambda r: r.read(UID_A, 0, 0)),
    (ValueError, lambda r: r.read(UID_A, -1, 1)),
    (ValueError, lambda r: r.read(UID_A, 0, 256)),
    (ValueError, lambda r: r.read("ZZZZZZZZZZZZZZZZ", 0, 1)),  # not hexadecimal
    (ValueError, lambda r: r.write(UID_A, 250, 8, "X" * 32)),
    (ValueError, lambda r: r.write(UID_A, 0, 1, "ABCDE")),  # 5 characters, 1 block
    (ValueError, lambda r: r.write(UID_A, 0, 0, "")),
    (TypeError, lambda r: r.multi_write(0, 1, [UID_A])),  # a list, not {UID: text}
    (ValueError, lambda r: r.multi_write(0, 1, {})),
    (ValueError, lambda r: r.multi_write(0, 1, {UID_A: "ABCD", UID_A.lower(): "EFGH"})),
    (ValueError, lambda r: r.multi_write(0, 1, {f"E00401000000000{i}": "ABCD" for i in range(5)})),
    (ValueError, lambda r: r.multi_write(0, 1, {UID_A: "ABC"})),
    (ValueError, lambda r: r.multi_read(200, 57)),
    (TypeError, lambda r: r.multi_read(0, True)),
    (ValueError, lambda r: r.tag_command("")),
    (ValueError, lambda r: r.tag_command("h\u00e9llo")),
    (TypeError, lambda r: r.tag_command(b"R0")),
    (ValueError, lambda r: r.sensor(UID_SENSOR, setting=256)),
    (TypeError, lambda r: r.sensor(UID_SENSOR, channel=True)),
    (ValueError, lambda r: r.beep(256)),
    (TypeError, lambda r: r.beep(1.5)),
    (ValueError, lambda r: r.loop_multi_read(0, 0)),
    (TypeError, lambda r: r.loop_multi_write(0, 1, [UID_A])),
    (ValueError, lambda r: r.loop_tag_command("X" * 36)),
]


@pytest.mark.parametrize("error, call", REFUSED)
def test_bad_values_and_types_are_refused_before_anything_is_sent(sim, reader, error, call):
    calls = sim.call_count()
    with pytest.raises(error) as e:
        call(reader)
    assert isinstance(e.value, kq.ArgumentError)  # a KqError too, with code and name
    assert e.value.name in ("KQ_ERR_PARAM", "KQ_ERR_BLOCKSIZE", "KQ_ERR_NOBLOCKS")
    assert sim.call_count() == calls


@pytest.mark.parametrize("kwargs", [dict(buzzer=1), dict(read_timeout=-1), dict(buzzer_time=256),
                                    dict(write_timeout=True), dict(serial=""), dict(serial=7)])
def test_reader_settings_are_checked(sim, kwargs):
    with pytest.raises((TypeError, ValueError)):
        kq.Reader(**kwargs)


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
        assert kinds[-1] == "loop_end" and set(kinds[:-1]) <= {"data"}
        assert kinds[-1] is kq.EventKind.LOOP_END
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
        assert event.kind == "device_lost" and event.message == kq.WM_KQ_USBERROR
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


# ---- Closed means closed ----------------------------------------------------------

EVERY_OPERATION = [
    lambda r: r.inventory(),
    lambda r: r.read(UID_A, 0, 1),
    lambda r: r.write(UID_A, 0, 1, "ABCD"),
    lambda r: r.multi_read(0, 1),
    lambda r: r.multi_write(0, 1, {UID_A: "ABCD"}),
    lambda r: r.tag_command("R0"),
    lambda r: r.sensor(UID_SENSOR),
    lambda r: r.beep(1),
    lambda r: r.check_status(),
    lambda r: r.loop_uid(),
    lambda r: r.loop_multi_read(0, 1),
    lambda r: r.loop_multi_write(0, 1, {UID_A: "ABCD"}),
    lambda r: r.loop_tag_command("R0"),
]


def test_closed_means_closed(sim):
    never_opened = kq.Reader()
    closed = kq.Reader().open()
    assert closed.is_open and not never_opened.is_open
    assert closed.inventory() == [UID_A, UID_B, UID_SENSOR]
    closed.close()
    assert not closed.is_open
    assert sim.open_handles() == 0
    calls = sim.call_count()
    for r in (never_opened, closed):
        for call in EVERY_OPERATION:
            with pytest.raises(kq.NotOpenError) as e:
                call(r)
            assert e.value.code == kq.KQ_ERR_USB and "not open" in str(e.value)
    # Nothing reached the driver, and the port is free for another client.
    assert sim.call_count() == calls
    assert sim.open_handles() == 0
    with kq.Reader() as other:
        assert other.inventory() == [UID_A, UID_B, UID_SENSOR]
    # A closed reader opens again.
    assert closed.open().inventory() == [UID_A, UID_B, UID_SENSOR]
    closed.close()
    closed.close()  # twice is fine


def test_enter_does_not_reopen_an_open_reader(sim):
    r = kq.Reader().open()
    opens = sim.open_handles()
    calls = sim.call_count()
    with r as same:
        assert same is r and r.is_open
        assert sim.call_count() == calls  # no FT_Close / FT_OpenEx / reset
        assert sim.open_handles() == opens == 1
    assert not r.is_open and sim.open_handles() == 0


def test_an_unplug_inside_with_surfaces_as_device_lost(sim):
    with pytest.raises(kq.DeviceLostError) as e:
        with kq.Reader() as r:
            sim.unplug()
            r.inventory()
    assert e.value.name == "KQ_ERR_USB" and isinstance(e.value, kq.DeviceError)
    assert sim.open_handles() == 0
    sim.replug()
    with pytest.raises(kq.DeviceLostError) as e:
        with kq.Reader() as r:
            r.inventory()
            sim.unplug()
            r.read(UID_A, 0, 1)  # no connection check: the frame cannot be sent
    assert e.value.name == "KQ_ERR_SEND"


def test_close_never_raises_and_warns_when_the_driver_cannot_close(sim):
    r = kq.Reader().open()
    sim.fail_call(FT_CLOSE, 4, 0, 1)  # the next FT_Close fails
    with pytest.warns(kq.CloseWarning, match="KQ_CloseUSB failed: 30 KQ_ERR_CLOSE"):
        r.close()
    assert not r.is_open
    with pytest.raises(kq.NotOpenError):
        r.inventory()
    # open() releases the handle the driver kept, then opens afresh.
    assert r.open().inventory() == [UID_A, UID_B, UID_SENSOR]
    r.close()
    assert sim.open_handles() == 0


# ---- Every attached reader ----------------------------------------------------------


def test_list_readers_and_open_each(sim):
    assert kq.list_readers() == ["KQSIM0001"]
    assert sim.device_add(b"KQSIM0002") == 1
    sim.select_device(1)
    sim.tag_add(b"E0040200000000B1", 4, 16)
    sim.select_device(0)
    assert kq.list_readers() == ["KQSIM0001", "KQSIM0002"]
    with kq.Reader("KQSIM0002") as second, kq.Reader("KQSIM0001") as first:
        assert second.inventory() == ["E0040200000000B1"]
        assert first.inventory() == [UID_A, UID_B, UID_SENSOR]
        assert (first.serial, second.serial) == ("KQSIM0001", "KQSIM0002")
    sim.device_remove_all()
    assert kq.list_readers() == []
    with pytest.raises(kq.DeviceError) as e:
        kq.Reader().open()  # no first reader
    assert e.value.name == "KQ_ERR_SERIALNO"


def test_version_is_one_and_the_librarys():
    assert kq.__version__ == kq.library_version()  # 0.2.0 against this build
    assert kq.__version__.count(".") == 2


# ---- asyncio --------------------------------------------------------------------------


def test_async_with_and_async_for_end_with_loop_end(sim, reader):
    async def main():
        seen = []
        async with reader.loop_uid() as loop:
            async for event in loop:
                seen.append(event.kind)
                if event.kind == "data":
                    assert event.result == [UID_A, UID_B, UID_SENSOR]
                    break
        assert loop._closed and reader.record.hThread is None
        return seen

    assert asyncio.run(asyncio.wait_for(main(), 10)) == ["data"]
    assert reader.inventory() == [UID_A, UID_B, UID_SENSOR]


def test_aclose_lets_the_event_loop_run_while_the_worker_stops(sim, reader):
    # A task that yields at every turn of the event loop counts its turns
    # while aclose() waits for the worker; a stop that blocked the event
    # loop would leave it none.
    async def main():
        loop = reader.loop_uid()
        async for event in loop:
            break
        stopping = False
        turns = 0

        async def ticker():
            nonlocal turns
            while True:
                if stopping:
                    turns += 1
                await asyncio.sleep(0)

        task = asyncio.create_task(ticker())
        await asyncio.sleep(0)
        stopping = True
        await loop.aclose()
        stopping = False
        task.cancel()
        return turns

    assert asyncio.run(asyncio.wait_for(main(), 10)) > 0


def test_another_task_stops_an_async_iteration(sim, reader):
    async def main():
        loop = reader.loop_multi_read(0, 2)
        kinds = []

        async def consume():
            async for event in loop:
                kinds.append(event.kind)

        consumer = asyncio.create_task(consume())
        while not kinds:
            await asyncio.sleep(0.01)
        await loop.aclose()
        await asyncio.wait_for(consumer, 5)
        return kinds

    kinds = asyncio.run(asyncio.wait_for(main(), 10))
    assert kinds[-1] == "loop_end" and set(kinds[:-1]) == {"data"}


def test_close_ends_an_async_iteration_waiting_for_a_report(sim, reader):
    # No loop-end notification comes (hWnd 0: the library posts nothing, as
    # when a full channel drops it); aclose() still ends the iteration that
    # another task is awaiting.
    sim.set_loop_interval(5000)  # nothing more arrives after the first report

    async def main():
        loop = reader.loop_uid()
        consumer = asyncio.create_task(consume(loop))
        await asyncio.sleep(0.3)
        reader.record.hWnd = 0  # an aligned pointer-sized store; the worker only reads it
        await loop.aclose()
        return await asyncio.wait_for(consumer, 5)

    async def consume(loop):
        return [event.kind async for event in loop]

    kinds = asyncio.run(asyncio.wait_for(main(), 10))
    assert "loop_end" not in kinds
    assert reader.record.hThread is None


def test_close_from_another_thread_ends_a_blocking_iteration(sim, reader):
    # As if the loop-end notification were lost (a full channel drops it):
    # with hWnd 0 the library posts nothing, yet close() must wake the
    # thread that iterates.
    sim.set_loop_interval(5000)
    loop = reader.loop_uid()
    kinds = []
    consumer = threading.Thread(target=lambda: kinds.extend(e.kind for e in loop), daemon=True)
    consumer.start()
    time.sleep(0.3)
    reader.record.hWnd = 0  # an aligned pointer-sized store; the worker only reads it
    closer = threading.Thread(target=loop.close, daemon=True)
    closer.start()
    closer.join(5)
    assert not closer.is_alive(), "close() waits for the iterating thread"
    consumer.join(5)
    assert not consumer.is_alive()
    assert "loop_end" not in kinds


def test_windows_style_messages_reach_the_loop(sim, reader):
    # On Windows a window procedure receives the message numbers and writes
    # the records into the loop's socket pair (_channel.WindowChannel); the
    # same path, fed here by a thread.
    from kq import _channel

    channel = _channel.SocketChannel()
    loop = kq.Loop(reader, kq.KQ_LOOP_UID, channel)
    reader.record.OUT_GU.Count = 1
    reader.record.OUT_GU.TagInfo[0].UID = UID_B.encode()
    feeder = threading.Thread(target=lambda: [channel.forward(m) for m in
                                              (kq.WM_KQ_DATA, 0x1234, kq.WM_KQ_USBERROR)])
    feeder.start()
    events = list(loop)
    feeder.join()
    assert [(e.kind, e.result) for e in events] == [("data", [UID_B]), ("device_lost", None)]
    loop._stopped = True
    loop.close()
