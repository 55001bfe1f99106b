"""kqd's broker link against a real Mosquitto broker: retained state and the
last will, the broker's faults (down at start, restarted, the link cut), no
event lost or duplicated after de-duplication, TLS, a refused password,
operations (MQTT 5 response topic and the 3.1.1 reply topic), bad input, and
a fleet of stations."""

import json
import subprocess
import time
import uuid

import paho.mqtt.client as mqtt
from paho.mqtt.packettypes import PacketTypes
from paho.mqtt.properties import Properties
import pytest

from conftest import (KEEPALIVE, Broker, Station, Subscriber, assert_complete,
                      deduplicated, validate, wait_for)


def seen_seq(sub, station, serial, n):
    """The subscriber has events 1..n of the reader (after de-duplication)."""
    def ok():
        got = deduplicated(sub.events()).get((station.site, serial), [])
        return len(got) >= n
    return ok


def test_retained_state_events_and_last_will(tmp_path, broker, stations):
    station = Station(tmp_path, broker.url(), "desk1").start()
    stations.append(station)
    serial = station.serial()
    early = Subscriber(broker)
    wait_for(seen_seq(early, station, serial, 6), 15, "six events")

    # A subscriber that comes later gets the retained state at once.
    late = Subscriber(broker, protocol=mqtt.MQTTv5)
    wait_for(lambda: late.latest("kq/desk1/%s/field" % serial), 5, "retained field")
    retained = {t: p for t, p, r in late.on("") if r}
    assert retained["kq/desk1/kqd/status"] == "online"
    assert retained["kq/desk1/%s/status" % serial] == "online"
    field = json.loads(retained["kq/desk1/%s/field" % serial])
    validate("field", field)
    assert field["reader"] == serial and field["site"] == "desk1"
    assert field["count"] == len(field["uids"]) == len(field["tags"])

    events = deduplicated(early.events())[("desk1", serial)]
    tag_events = [e for e in events if e["kind"] in ("arrived", "left")]
    assert tag_events, "no arrived/left events"
    seqs = [e["seq"] for e in events]
    assert seqs == sorted(seqs) and seqs[0] == 1
    assert all(e["site"] == "desk1" and e["reader"] == serial for e in events)
    assert events[0].get("restarted") is True  # a fresh state directory: a new epoch

    # SIGKILL: the broker publishes the last will (offline, retained).
    station.kill()
    wait_for(lambda: late.latest("kq/desk1/kqd/status") == "offline", 1.5 * KEEPALIVE,
             "the last will")
    early.close()
    late.close()


def test_clean_stop_publishes_offline_and_keeps_numbers(tmp_path, broker, stations):
    sub = Subscriber(broker)
    station = Station(tmp_path, broker.url(), "desk2").start()
    stations.append(station)
    serial = station.serial()
    wait_for(seen_seq(sub, station, serial, 4), 15, "four events")
    station.stop()
    assert sub.latest("kq/desk2/%s/status" % serial) == "offline"
    assert sub.latest("kq/desk2/kqd/status") == "offline"
    assert json.loads(sub.latest("kq/desk2/%s/field" % serial))["online"] is False
    assert_complete(sub.events(), station)
    first = station.last_seqs()

    # Restarted with the same state directory: the numbers go on, same epoch.
    station.start()
    wait_for(seen_seq(sub, station, serial, first["readers"][serial] + 3), 15,
             "events after the restart")
    station.stop()
    again = station.last_seqs()
    assert again["epoch"] == first["epoch"]
    assert again["readers"][serial] > first["readers"][serial]
    assert_complete(sub.events(), station)
    assert not any(e.get("restarted") for e in sub.events()
                   if e.get("seq", 0) > first["readers"][serial])
    sub.close()


def test_without_state_dir_a_new_epoch_says_it_restarted(tmp_path, broker, stations):
    sub = Subscriber(broker)
    station = Station(tmp_path, broker.url(), "desk3", state=False).start()
    stations.append(station)
    serial = station.serial()
    wait_for(seen_seq(sub, station, serial, 2), 15, "two events")
    station.stop()
    station.start()
    wait_for(lambda: len({e["epoch"] for e in sub.events()}) == 2, 15, "a second epoch")
    station.stop()
    by_epoch = {}
    for e in sub.events():
        by_epoch.setdefault(e["epoch"], []).append(e)
    for epoch_events in by_epoch.values():
        assert epoch_events[0]["seq"] == 1 and epoch_events[0].get("restarted") is True
    sub.close()


def test_broker_down_at_start(tmp_path, broker, stations):
    sub = Subscriber(broker)  # its persistent session survives the broker's stop
    sub.leave()
    broker.stop()
    station = Station(tmp_path, broker.url(), "dock1").start()
    stations.append(station)
    time.sleep(2.0)  # events made while the broker is away are queued
    broker.start()
    sub.come_back()
    serial = station.serial()
    wait_for(seen_seq(sub, station, serial, 25), 20, "the queued events and more")
    station.stop()
    assert_complete(sub.events(), station)
    assert "connected to 127.0.0.1" in station.stderr()
    sub.close()


def test_broker_restarted_mid_stream(tmp_path, broker, stations):
    sub = Subscriber(broker)
    station = Station(tmp_path, broker.url(), "dock2", every_ms=40).start()
    stations.append(station)
    serial = station.serial()
    wait_for(seen_seq(sub, station, serial, 10), 15, "the stream")
    for _ in range(2):
        broker.stop()
        time.sleep(1.5)
        broker.start()
        wait_for(lambda: sub.connected.is_set(), 10, "the subscriber back")
        time.sleep(1.0)
    n = station.last_seqs()["readers"].get(serial, 0) if station.state_dir else 0
    wait_for(seen_seq(sub, station, serial, n + 5), 20, "the stream after restarts")
    station.stop()
    assert_complete(sub.events(), station)
    sub.close()


def test_link_cut_is_noticed_and_nothing_is_lost(tmp_path, broker, stations):
    """A frozen broker (SIGSTOP) is a cut link: no FIN, no answers. The
    station notices through its keep-alive, reconnects, resends."""
    sub = Subscriber(broker)
    station = Station(tmp_path, broker.url(), "dock3", every_ms=50).start()
    stations.append(station)
    serial = station.serial()
    wait_for(seen_seq(sub, station, serial, 10), 15, "the stream")
    broker.pause()
    paused = time.monotonic()
    # The keep-alive ping goes out after KEEPALIVE seconds without a packet
    # in, and its answer is awaited as long again; libmosquitto counts whole
    # seconds, so the cut is noticed 2 to 2.5 keep-alives in. The broker
    # stays frozen until then: once it answers again, there is no cut left to
    # notice.
    try:
        wait_for(lambda: "disconnected from" in station.stderr(), 4 * KEEPALIVE,
                 "the station noticing the cut")
    finally:
        frozen_ms = (time.monotonic() - paused) * 1000
        broker.resume()
    wait_for(seen_seq(sub, station, serial, 10 + int(frozen_ms / station.every_ms)),
             30, "the events of the cut")
    station.stop()
    assert_complete(sub.events(), station)
    sub.close()


def test_full_queue_drops_oldest_and_announces(tmp_path, broker, stations):
    sub = Subscriber(broker)
    sub.leave()
    broker.stop()
    station = Station(tmp_path, broker.url(), "dock4", every_ms=20,
                      extra=["--mqtt-queue", "10"]).start()
    stations.append(station)
    time.sleep(2.0)  # far more than 10 events
    broker.start()
    sub.come_back()
    wait_for(lambda: any(e["kind"] == "dropped" for e in sub.events()), 15, "the announcement")
    station.stop()
    events = sub.events()
    serial = station.serial()
    dropped = [e for e in events if e["kind"] == "dropped"]
    announced = set()
    for d in dropped:
        assert d["reader"] == serial and d["count"] == d["last_seq"] - d["first_seq"] + 1
        announced |= set(range(d["first_seq"], d["last_seq"] + 1))
    got = {e["seq"] for e in deduplicated(events)[("dock4", serial)]}
    last = station.last_seqs()["readers"][serial]
    # Every number either arrived or was announced as dropped, never both.
    assert got | announced == set(range(1, last + 1))
    assert not got & announced
    assert len(announced) >= 10
    sub.close()


def make_tls(tmp_path):
    d = tmp_path / "tls"
    d.mkdir()

    def run(*args):
        subprocess.run(["openssl"] + list(args), cwd=d, check=True, capture_output=True)
    run("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=kq test CA",
        "-keyout", "ca.key", "-out", "ca.crt")
    ext = d / "san.ext"
    ext.write_text("subjectAltName=IP:127.0.0.1,DNS:localhost\n")
    for name in ("server", "client", "other"):
        run("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=" + name,
            "-keyout", name + ".key", "-out", name + ".csr")
        ca = "other-ca" if name == "other" else "ca"
        if name == "other":
            run("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                "-subj", "/CN=someone else", "-keyout", "other-ca.key", "-out", "other-ca.crt")
        run("x509", "-req", "-in", name + ".csr", "-CA", ca + ".crt", "-CAkey", ca + ".key",
            "-CAcreateserial", "-days", "2", "-extfile", str(ext), "-out", name + ".crt")
    return {k: str(d / v) for k, v in {
        "ca": "ca.crt", "server_cert": "server.crt", "server_key": "server.key",
        "client_cert": "client.crt", "client_key": "client.key",
        "other_ca": "other-ca.crt"}.items()}


def test_tls_with_client_certificate(tmp_path, stations):
    tls = make_tls(tmp_path)
    broker = Broker(tmp_path, tls=tls)
    try:
        sub = mqtt.Client(client_id="tls-sub", clean_session=False)
        sub.tls_set(ca_certs=tls["ca"], certfile=tls["client_cert"], keyfile=tls["client_key"])
        got = []
        sub.on_connect = lambda c, *a: c.subscribe("kq/#", 1)
        sub.on_message = lambda c, u, m: got.append((m.topic, m.payload.decode()))
        sub.connect("127.0.0.1", broker.port)
        sub.loop_start()
        good = Station(tmp_path, broker.url("mqtts"), "secure1",
                       extra=["--mqtt-ca-file", tls["ca"], "--mqtt-cert-file", tls["client_cert"],
                              "--mqtt-key-file", tls["client_key"]]).start()
        # The broker's certificate is not from the CA this one trusts: no link.
        wrong_ca = Station(tmp_path, broker.url("mqtts"), "secure2",
                           extra=["--mqtt-ca-file", tls["other_ca"],
                                  "--mqtt-cert-file", tls["client_cert"],
                                  "--mqtt-key-file", tls["client_key"]]).start()
        # No client certificate: the broker requires one.
        no_cert = Station(tmp_path, broker.url("mqtts"), "secure3",
                          extra=["--mqtt-ca-file", tls["ca"]]).start()
        stations.extend([good, wrong_ca, no_cert])
        wait_for(lambda: sum(1 for t, _ in got if t.startswith("kq/secure1/") and
                             t.endswith("/events")) >= 3, 15, "events over TLS")
        time.sleep(1.0)
        assert not any(t.startswith(("kq/secure2/", "kq/secure3/")) for t, _ in got)
        good.stop()
        assert_complete([json.loads(p) for t, p in got if t.endswith("/events")], good)
        for s in (wrong_ca, no_cert):
            s.stop()
            assert "connected to" not in s.stderr()
        sub.loop_stop()
    finally:
        broker.stop()


def test_refused_password(tmp_path, stations):
    pw = tmp_path / "passwd"
    subprocess.run(["mosquitto_passwd", "-b", "-c", str(pw), "station", "right-password"],
                   check=True, capture_output=True)
    pw.chmod(0o600)
    broker = Broker(tmp_path, password_file=pw)
    try:
        good_pw = tmp_path / "good.pw"
        good_pw.write_text("right-password\n")
        bad_pw = tmp_path / "bad.pw"
        bad_pw.write_text("wrong-password\n")
        sub = mqtt.Client(client_id="pw-sub", clean_session=False)
        sub.username_pw_set("station", "right-password")
        got = []
        sub.on_connect = lambda c, *a: c.subscribe("kq/#", 1)
        sub.on_message = lambda c, u, m: got.append(m.topic)
        sub.connect("127.0.0.1", broker.port)
        sub.loop_start()
        good = Station(tmp_path, broker.url(userinfo="station@"), "pw1",
                       extra=["--mqtt-password-file", str(good_pw)]).start()
        bad = Station(tmp_path, broker.url(userinfo="station@"), "pw2",
                      extra=["--mqtt-password-file", str(bad_pw)]).start()
        stations.extend([good, bad])
        wait_for(lambda: any(t.startswith("kq/pw1/") and t.endswith("/events") for t in got),
                 15, "the right password's events")
        wait_for(lambda: "refused the connection" in bad.stderr(), 10, "the refusal logged")
        time.sleep(0.5)
        assert not any(t.startswith("kq/pw2/") for t in got)
        assert "Not authorized" in bad.stderr() or "not authorised" in bad.stderr().lower()
        good.stop()
        bad.stop()
        sub.loop_stop()
    finally:
        broker.stop()


class Requester:
    """Sends operations: MQTT 5 (response topic + correlation data) or 3.1.1
    (request_id, answer on PREFIX/SITE/SERIAL/reply/OP)."""

    def __init__(self, broker, v5):
        self.v5 = v5
        self.replies = []
        if v5:
            self.client = mqtt.Client(client_id="req-%s" % uuid.uuid4().hex[:8],
                                      protocol=mqtt.MQTTv5)
        else:
            self.client = mqtt.Client(client_id="req-%s" % uuid.uuid4().hex[:8])
        self.client.on_message = self._on_message
        self.client.connect("127.0.0.1", broker.port)
        self.client.loop_start()
        self.response_topic = "test/replies/%s" % uuid.uuid4().hex[:8]
        if v5:
            self.client.subscribe(self.response_topic, qos=1)
        else:
            self.client.subscribe("kq/+/+/reply/+", qos=1)
        time.sleep(0.3)

    def _on_message(self, client, userdata, msg):
        corr = None
        if self.v5 and hasattr(msg.properties, "CorrelationData"):
            corr = msg.properties.CorrelationData
        self.replies.append((msg.topic, json.loads(msg.payload), corr))

    def call(self, topic, body, retain=False, response_topic=None, timeout=10):
        marker = uuid.uuid4().hex
        n = len(self.replies)
        if self.v5:
            props = Properties(PacketTypes.PUBLISH)
            props.ResponseTopic = response_topic or self.response_topic
            props.CorrelationData = marker.encode()
            payload = body if isinstance(body, (str, bytes)) else json.dumps(body)
            self.client.publish(topic, payload, qos=1, retain=retain, properties=props)
            match = lambda r: r[2] == marker.encode()  # noqa: E731
        else:
            if isinstance(body, dict):
                body = dict(body, request_id=marker)
                payload = json.dumps(body)
                match = lambda r: r[1].get("request_id") == marker  # noqa: E731
            else:
                payload = body
                match = lambda r: True  # noqa: E731
            self.client.publish(topic, payload, qos=1, retain=retain)
        wait_for(lambda: any(match(r) for r in self.replies[n:]), timeout, "a reply on " + topic)
        reply = next(r for r in self.replies[n:] if match(r))
        validate("reply", reply[1])
        return reply

    def close(self):
        self.client.loop_stop()
        self.client.disconnect()


@pytest.mark.parametrize("v5", [True, False], ids=["mqtt5", "mqtt311"])
def test_operations_and_bad_input(tmp_path, broker, stations, v5):
    station = Station(tmp_path, broker.url(), "bench1", every_ms=60000).start()
    stations.append(station)
    sub = Subscriber(broker)
    wait_for(lambda: sub.latest("kq/bench1/kqd/status") == "online", 10, "the station")
    req = Requester(broker, v5)
    serial = station.serial()
    uid = station.uid()
    base = "kq/bench1/%s/cmd/" % serial

    topic, reply, _ = req.call(base + "beep", {"length": 1})
    assert reply["status"] == 200 and reply["op"] == "beep" and reply["reader"] == serial
    if v5:
        assert topic == req.response_topic
    else:
        assert topic == "kq/bench1/%s/reply/beep" % serial
        assert reply["request_id"]

    # The same refusals as the HTTP API, naming the member at fault.
    cases = [
        ("read", {"uid": "XYZ", "first": 0, "count": 1}, 400, "uid"),
        ("read", {"uid": uid.lower(), "first": 250, "count": 10}, 400, "count"),
        ("write", {"uid": uid, "first": 0, "text": "AB\rD"}, 400, "text"),
        ("command", {"text": "caf\u00e9"}, 400, "text"),
        ("beep", {"length": 1, "volume": 3}, 400, None),
        ("beep", "{not json", 400, "body"),
        ("dance", {}, 404, "op"),
    ]
    for op, body, status, field in cases:
        _, reply, _ = req.call(base + op, body)
        assert reply["status"] == status, (op, body, reply)
        if field:
            assert reply["error"].get("field") == field, (op, body, reply)
    _, reply, _ = req.call("kq/bench1/NOSUCHREADER/cmd/beep", {"length": 1})
    assert reply["status"] == 404
    # A retained operation is not run (it would run again on every connect).
    _, reply, _ = req.call(base + "beep", {"length": 1}, retain=True)
    assert reply["status"] == 400 and reply["error"]["field"] == "retain"
    req.client.publish(base + "beep", b"", qos=1, retain=True)  # clear it
    if v5:
        # A response topic on a station's state topics is refused.
        n = len(req.replies)
        req.client.subscribe("kq/bench1/%s/reply/beep" % serial, qos=1)
        time.sleep(0.3)
        props = Properties(PacketTypes.PUBLISH)
        props.ResponseTopic = "kq/bench1/%s/events" % serial
        props.CorrelationData = b"forge"
        req.client.publish(base + "beep", json.dumps({"length": 1}), qos=1, properties=props)
        wait_for(lambda: len(req.replies) > n, 10, "the refusal")
        topic, reply, _ = req.replies[n]
        assert topic.endswith("/reply/beep") and reply["error"]["field"] == "response_topic"
    # A write and a read of the scenario's tag through the reader.
    text = "MQ5" if v5 else "M311"
    text = (text + "----")[:4]
    _, reply, _ = req.call(base + "write", {"uid": uid.lower(), "first": 3, "text": text})
    assert reply["status"] == 200 and reply["verified"] is True, reply
    _, reply, _ = req.call(base + "read", {"uid": uid, "first": 3, "count": 1})
    assert reply["status"] == 200 and reply["text"] == text, reply
    # Every event the station sent still validates, and none is a reply.
    assert all(e["reader"] == serial for e in sub.events())
    req.close()
    sub.close()


def test_station_refusing_operations(tmp_path, broker, stations):
    station = Station(tmp_path, broker.url(), "kiosk1", every_ms=500,
                      extra=["--mqtt-operations", "off"]).start()
    stations.append(station)
    sub = Subscriber(broker)
    wait_for(lambda: sub.latest("kq/kiosk1/kqd/status") == "online", 10, "the station")
    req = Requester(broker, True)
    _, reply, _ = req.call("kq/kiosk1/%s/cmd/beep" % station.serial(), {"length": 1})
    assert reply["status"] == 403 and reply["error"]["name"] == "KQD_ERR_FORBIDDEN"
    req.close()
    sub.close()


def test_fleet(tmp_path, broker, stations):
    """Several stations, different sites, several readers each; one
    subscriber gets every station's events; a SIGKILLed station shows as
    offline through its last will within the keep-alive time."""
    sub = Subscriber(broker)
    sites = ["hall%d" % i for i in range(1, 4)]
    for site in sites:
        stations.append(Station(tmp_path, broker.url(), site, readers=2, every_ms=100).start())
    for s in stations:
        for r in (1, 2):
            wait_for(seen_seq(sub, s, s.serial(r), 5), 20, "%s/%s" % (s.site, s.serial(r)))
    killed = stations[0]
    t0 = time.monotonic()
    killed.kill()
    wait_for(lambda: sub.latest("kq/%s/kqd/status" % killed.site) == "offline", KEEPALIVE,
             "the killed station's last will")
    assert time.monotonic() - t0 < KEEPALIVE * 1.5
    for s in stations[1:]:
        s.stop()
        assert_complete(sub.events(), s)
        assert sub.latest("kq/%s/kqd/status" % s.site) == "offline"
    sub.close()
