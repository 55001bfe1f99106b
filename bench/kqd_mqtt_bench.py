#!/usr/bin/env python3
"""kqd's broker link, measured against a local Mosquitto (run by hand, not by CTest):

  latency   reader event (kqd's time stamp) -> a subscriber's on_message, one kqd, one reader
  fleet     50 simulated readers across 5 kqd processes into one broker: events/s delivered,
            none lost (every number of every reader, after de-duplication), CPU per reader
            (the same fleet without the broker link beside it)
  outage    events of 10 readers queued during a 30 s broker outage: all delivered after it,
            in order, and the time to drain

    KQD=build/release/bin/kqd python3 bench/kqd_mqtt_bench.py [latency] [fleet] [outage]

Uses the tests' broker, station and subscriber helpers (tests/service/mqtt/conftest.py)."""

import os
import statistics
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "service" / "mqtt"))
from conftest import Broker, Station, Subscriber, assert_complete, deduplicated, wait_for  # noqa: E402

TICK = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    fields = Path("/proc/%d/stat" % pid).read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(round(p / 100 * (len(values) - 1))))]


def latency(tmp):
    import json
    variants = [("state_dir, fdatasync per batch", True, []),
                ("state_dir, state_sync off", True, ["--mqtt-state-sync", "false"]),
                ("no state_dir", False, [])]
    for i, (label, state, extra) in enumerate(variants):
        broker = Broker(tmp)
        sub = Subscriber(broker)
        station = Station(tmp, broker.url(), "lat", every_ms=100, state=state, extra=extra,
                          name="lat%d" % i).start()
        time.sleep(15)
        station.stop()
        lat = []
        for topic, payload, _, received in sub.snapshot():
            if topic.endswith("/events"):
                e = json.loads(payload)
                if e["kind"] in ("arrived", "left"):
                    lat.append(received * 1000 - e["time_ms"])
        sub.close()
        broker.stop()
        print("latency (%s): %d events, median %.2f ms, p99 %.2f ms, max %.2f ms"
              % (label, len(lat),
                 statistics.median(lat), percentile(lat, 99), max(lat)))


def fleet(tmp, seconds=20):
    results = {}
    for with_mqtt in (False, True):
        broker = Broker(tmp)
        sub = Subscriber(broker) if with_mqtt else None
        stations = []
        for i in range(5):
            name = "fleet%d%s" % (i, "m" if with_mqtt else "")
            s = Station(tmp, broker.url(), "fleet%d" % i, readers=10, every_ms=100, name=name)
            if not with_mqtt:
                s.base = []
                s.state_dir = None
            stations.append(s.start())
        time.sleep(3)  # readers up
        c0 = sum(cpu_seconds(s.proc.pid) for s in stations)
        n0 = len(sub.events()) if sub else 0
        t0 = time.monotonic()
        time.sleep(seconds)
        dt = time.monotonic() - t0
        c1 = sum(cpu_seconds(s.proc.pid) for s in stations)
        n1 = len(sub.events()) if sub else 0
        for s in stations:
            s.stop()
        cpu_per_reader = (c1 - c0) / dt / 50 * 100
        results[with_mqtt] = cpu_per_reader
        if with_mqtt:
            events = sub.events()
            for s in stations:
                assert_complete(events, s)
            total = sum(len(v) for v in deduplicated(events).values())
            print("fleet: 50 readers in 5 kqd: %.0f events/s delivered over %.0f s, "
                  "%d events in all, none lost, none twice after de-duplication"
                  % ((n1 - n0) / dt, dt, total))
            sub.close()
        broker.stop()
    print("fleet: CPU per reader %.2f %% of a core with the broker link, %.2f %% without"
          % (results[True], results[False]))


def outage(tmp, seconds=30):
    broker = Broker(tmp)
    sub = Subscriber(broker)
    station = Station(tmp, broker.url(), "outage", readers=10, every_ms=100).start()
    wait_for(lambda: len(sub.events()) > 50, 20, "the stream")
    import json
    state_file = station.state_dir / "mqtt-seq.json"
    before = sum(json.loads(state_file.read_text())["readers"].values())
    sub.leave()
    broker.stop()
    t_down = time.monotonic()
    time.sleep(seconds)
    broker.start()
    t_up = time.monotonic()
    sub.come_back()
    # Everything numbered before the broker came back must arrive.
    target = json.loads(state_file.read_text())["readers"]
    queued = sum(target.values()) - before

    def drained():
        got = deduplicated(sub.events())
        return all(len(got.get(("outage", r), [])) >= n for r, n in target.items())
    wait_for(drained, 120, "the queued events")
    t_drained = time.monotonic()
    station.stop()
    events = sub.events()
    assert_complete(events, station)
    per_reader = deduplicated(events)
    in_order = all([e["seq"] for e in v] == sorted(e["seq"] for e in v) for v in per_reader.values())
    raw = sum(1 for e in events if e["kind"] != "dropped")
    print("outage: broker away %.0f s; %d events queued meanwhile, all delivered, %s, "
          "drained %.2f s after the broker came back; %d messages, %d duplicates before "
          "de-duplication" % (t_up - t_down, queued, "in order" if in_order else "OUT OF ORDER",
                               t_drained - t_up, raw, raw - sum(len(v) for v in per_reader.values())))
    sub.close()
    broker.stop()


def main():
    which = sys.argv[1:] or ["latency", "fleet", "outage"]
    with tempfile.TemporaryDirectory() as tmp:
        for name in which:
            sub = Path(tmp) / name
            sub.mkdir()
            globals()[name](sub)


if __name__ == "__main__":
    main()
