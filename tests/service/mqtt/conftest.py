"""Fixtures of the broker link's tests: a Mosquitto broker of the test's own
on 127.0.0.1 and a free port, stations (kqd on simulated readers), and a
subscriber that records everything and de-duplicates events."""

import json
import os
import pwd
import signal
import socket
import subprocess
import threading
import time
import zlib
from pathlib import Path

import jsonschema
import paho.mqtt.client as mqtt
import pytest

HERE = Path(__file__).resolve().parent
SCHEMA = json.loads((HERE.parents[2] / "docs" / "mqtt-schema.json").read_text())
KQD = os.environ.get("KQD", "kqd")  # the real service (CTest sets it)
MOSQUITTO = os.environ.get("MOSQUITTO", "/usr/sbin/mosquitto")
KEEPALIVE = 5  # the shortest keep-alive libmosquitto accepts


_VALIDATORS = {}


def validate(kind, payload):
    """Checks payload against docs/mqtt-schema.json's definition `kind`."""
    if kind not in _VALIDATORS:
        schema = {"$ref": "#/$defs/" + kind, "$defs": SCHEMA["$defs"]}
        _VALIDATORS[kind] = jsonschema.Draft202012Validator(schema)
    _VALIDATORS[kind].validate(payload)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.05)
    raise AssertionError("timed out waiting for " + what)


class Broker:
    """mosquitto with a generated config; persistence on, so that a
    subscriber's session survives a restart of the broker."""

    def __init__(self, tmp, tls=None, password_file=None):
        self.dir = Path(tmp) / ("broker-%d" % free_port())
        self.dir.mkdir()
        self.port = free_port()
        self.log = self.dir / "broker.log"
        lines = [
            "listener %d 127.0.0.1" % self.port,
            "persistence true",
            "persistence_location %s/" % self.dir,
            "max_queued_messages 100000",
            "max_inflight_messages 100",
            "log_dest stderr",
            "log_type error",
            "log_type warning",
            # Run as root, mosquitto would switch to its own user, which may
            # not write the test's directory.
            "user " + pwd.getpwuid(os.getuid()).pw_name,
        ]
        if tls:
            lines += ["cafile " + tls["ca"], "certfile " + tls["server_cert"],
                      "keyfile " + tls["server_key"], "require_certificate true"]
        if password_file:
            lines += ["allow_anonymous false", "password_file " + str(password_file)]
        else:
            lines += ["allow_anonymous true"]
        self.conf = self.dir / "mosquitto.conf"
        self.conf.write_text("\n".join(lines) + "\n")
        self.proc = None
        self.start()

    def start(self):
        self.proc = subprocess.Popen([MOSQUITTO, "-c", str(self.conf)],
                                     stdout=subprocess.DEVNULL,
                                     stderr=open(self.log, "ab"))

        def listening():
            try:
                socket.create_connection(("127.0.0.1", self.port), 0.2).close()
                return True
            except OSError:
                return False
        wait_for(listening, 10, "mosquitto on port %d" % self.port)

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGCONT)
            self.proc.terminate()
            self.proc.wait(10)
        self.proc = None

    def pause(self):
        self.proc.send_signal(signal.SIGSTOP)

    def resume(self):
        self.proc.send_signal(signal.SIGCONT)

    def url(self, scheme="mqtt", userinfo=""):
        return "%s://%s127.0.0.1:%d" % (scheme, userinfo, self.port)


class Station:
    """One kqd on simulated readers publishing to the broker; a state
    directory of its own, so sequence numbers persist."""

    def __init__(self, tmp, broker_url, site, readers=1, every_ms=100, extra=(),
                 state=True, name=None):
        self.site = site
        self.dir = Path(tmp) / ("station-" + (name or site))
        self.dir.mkdir(exist_ok=True)
        self.state_dir = self.dir / "state" if state else None
        self.readers = readers
        # kqd sees a tag leave only after it missed an inventory (--debounce 1
        # below) at its 20 ms inventory interval: 100 ms is a safe churn.
        self.every_ms = max(every_ms, 100)
        self.base = ["--mqtt", broker_url, "--mqtt-site", site,
                     "--mqtt-keepalive", str(KEEPALIVE),
                     "--mqtt-reconnect-min-ms", "100", "--mqtt-reconnect-max-ms", "800",
                     "--mqtt-connect-timeout-ms", "2000"]
        if state:
            self.base += ["--mqtt-state-dir", str(self.state_dir)]
        self.base += list(extra)
        self.proc = None
        self.err = self.dir / "stderr.log"
        self.out = self.dir / "stdout.log"

    def command(self):
        scenario = self.dir / "field.scenario"
        scenario.write_text(self.scenario_text())
        self.http_port = free_port()
        return [KQD, "--simulated", "--scenario", str(scenario), "--debounce", "1",
                "--listen", "127.0.0.1:%d" % self.http_port] + self.base

    def scenario_text(self):
        """Each reader holds one tag that leaves and comes back every every_ms."""
        parts = ["timing off"]
        for r in range(1, self.readers + 1):
            if r > 1:
                parts.append("reader %s" % self.serial(r))
            parts.append("tag " + self.uid(r))
            parts.append("churn %d" % self.every_ms)
        return "\n".join(parts) + "\n"

    def uid(self, r=1):
        return "E0040150%04X%04X" % (zlib.crc32(self.site.encode()) & 0xFFFF, r)

    def serial(self, r=1):
        return "KQSIM%04d" % r

    def start(self):
        self.proc = subprocess.Popen(self.command(), stdout=open(self.out, "ab"),
                                     stderr=open(self.err, "ab"))
        return self

    def stop(self):
        """SIGTERM: the clean end (readers and the station published offline)."""
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(20)
        self.proc = None

    def kill(self):
        self.proc.kill()
        self.proc.wait(10)
        self.proc = None

    def last_seqs(self):
        """The sequence state the station left: {"epoch":E,"readers":{serial: last}}."""
        return json.loads((self.state_dir / "mqtt-seq.json").read_text())

    def stderr(self):
        return self.err.read_text(errors="replace") if self.err.exists() else ""


class Subscriber:
    """Records every message under PREFIX/#. A persistent session (fixed
    client id, clean_session False, QoS 1) so that nothing the broker holds
    for it is lost while it or the broker restarts."""

    def __init__(self, broker, topic="kq/#", client_id=None, protocol=mqtt.MQTTv311, **tls):
        self.messages = []
        self._events = []  # parsed and checked by events()
        self._checked = 0
        self.lock = threading.Lock()
        self.connected = threading.Event()
        cid = client_id or "test-sub-%d" % free_port()
        if protocol == mqtt.MQTTv5:
            self.client = mqtt.Client(client_id=cid, protocol=protocol)
        else:
            self.client = mqtt.Client(client_id=cid, clean_session=False, protocol=protocol)
        self.client.reconnect_delay_set(0.1, 0.5)
        self.topic = topic
        self.client.on_connect = self._on_connect
        self.client.on_message = self._on_message
        self.client.on_disconnect = lambda *a: self.connected.clear()
        self.client.connect("127.0.0.1", broker.port, keepalive=60)
        self.client.loop_start()
        self.broker = broker
        assert self.connected.wait(10), "subscriber did not connect"

    def _on_connect(self, client, userdata, flags, rc, properties=None):
        client.subscribe(self.topic, qos=1)
        self.connected.set()

    def _on_message(self, client, userdata, msg):
        with self.lock:
            self.messages.append((msg.topic, msg.payload.decode(), msg.retain, time.time()))

    def close(self):
        self.client.disconnect()
        self.client.loop_stop()

    def leave(self):
        """Disconnects; the broker keeps the session (and queues for it)."""
        self.close()
        self.connected.clear()

    def come_back(self):
        self.client.reconnect()
        self.client.loop_start()
        assert self.connected.wait(10), "subscriber did not reconnect"

    def snapshot(self):
        with self.lock:
            return list(self.messages)

    def on(self, suffix):
        return [(t, p, r) for t, p, r, _ in self.snapshot() if t.endswith(suffix)]

    def events(self):
        """Every event payload (parsed and checked against the schema), in arrival order."""
        messages = self.snapshot()
        for topic, payload, _, _ in messages[self._checked:]:
            if topic.endswith("/events"):
                j = json.loads(payload)
                validate("dropped" if j.get("kind") == "dropped" else "event", j)
                self._events.append(j)
            elif topic.endswith("/field") and payload:
                validate("field", json.loads(payload))
            elif topic.endswith("/status") and payload:
                validate("status", payload)
        self._checked = len(messages)
        return list(self._events)

    def latest(self, topic):
        last = None
        for t, p, _, _ in self.snapshot():
            if t == topic:
                last = p
        return last


def deduplicated(events):
    """(site, reader) -> the events in arrival order, each (epoch, seq) once."""
    seen = set()
    per_reader = {}
    for e in events:
        if e["kind"] == "dropped":
            continue
        key = (e["site"], e["reader"], e["epoch"], e["seq"])
        if key in seen:
            continue
        seen.add(key)
        per_reader.setdefault((e["site"], e["reader"]), []).append(e)
    return per_reader


def assert_complete(events, station):
    """Every event the station numbered arrived, once after de-duplication, in order."""
    state = station.last_seqs()
    per_reader = deduplicated(events)
    assert state["readers"], "the station numbered no events"
    for serial, last in state["readers"].items():
        got = per_reader.get((station.site, serial), [])
        seqs = [e["seq"] for e in got if e["epoch"] == state["epoch"]]
        assert seqs == list(range(1, last + 1)), (
            "%s/%s: %d of %d events, first gaps/out of order at %s" % (
                station.site, serial, len(seqs), last,
                next((i + 1 for i, s in enumerate(seqs) if s != i + 1), None)))


@pytest.fixture
def broker(tmp_path):
    b = Broker(tmp_path)
    yield b
    b.stop()


@pytest.fixture
def stations():
    made = []
    yield made
    for s in made:
        if s.proc:
            s.kill()
