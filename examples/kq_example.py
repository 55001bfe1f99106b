#!/usr/bin/env python3
"""kq_example.py - inventory, read, write and the UID loop from Python.

Against the simulated reader, from the source tree's root after a build:

    pip install --no-build-isolation ./bindings/python   # or: PYTHONPATH=bindings/python
    KQ_D2XX=build/release/bin/libkqsim_d2xx.so \
    KQSIM_SCENARIO=examples/field.scenario python3 examples/kq_example.py

With a real reader leave KQ_D2XX unset. Usage: kq_example.py [serial-number]
"""

import sys
import time

import kq


def main():
    serial = sys.argv[1] if len(sys.argv) > 1 else None
    print("readers:", " ".join(kq.list_readers()) or "none")
    reader = kq.Reader(serial, read_timeout=500, write_timeout=500)
    try:
        reader.open()
    except kq.DeviceError as e:
        print(f"no reader: {e}", file=sys.stderr)
        return 1
    with reader:  # already open: the with block only closes it at its end
        print("reader:", reader.serial)
        uids = reader.inventory()
        print(f"tags in the field: {len(uids)}")
        for uid in uids:
            print("  ", uid)
        if not uids:
            return 0

        uid = uids[0]
        print(f"blocks 0-3 of {uid}: {reader.read(uid, 0, 4)!r}")
        reader.write(uid, 8, 2, "PYTHON01")
        print(f"wrote blocks 8-9, read back: {reader.read(uid, 8, 2)!r}")
        try:
            reader.read(uid, 200, 16)  # past the end of the tag's memory (status 4)
        except kq.ReaderStatusError as e:
            print(f"expected failure: {e} (code {e.code}, {e.name})")

        # Loop mode: a worker reports the field; stop when it has changed
        # (or after 6 s).
        print("UID loop:")
        with reader.loop_uid() as loop:
            deadline = time.monotonic() + 6
            first = None
            while time.monotonic() < deadline and not loop.finished:
                for event in loop.poll(0.5):
                    if event.kind != kq.EventKind.DATA:
                        print("  ", event.kind)
                    elif event.result != first:
                        print("   field:", " ".join(event.result))
                        if first is not None:
                            deadline = 0
                        first = event.result
            loop.stop()
            for event in loop.poll(1):
                if event.kind == kq.EventKind.LOOP_END:
                    print("loop ended")
    return 0


if __name__ == "__main__":
    sys.exit(main())
