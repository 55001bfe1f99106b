#!/usr/bin/env python3
"""Calls an operation of a reader through kqd's broker link (MQTT 5: the
answer comes on our own response topic, matched by correlation data) and
prints the answer.

    python3 examples/mqtt_operation.py --site desk1 --reader KQSIM0001 beep '{"length":1}'
    python3 examples/mqtt_operation.py --site desk1 --reader KQSIM0001 \\
        read '{"uid":"E0040150A1B2C301","first":0,"count":4}'

The body is the HTTP API's request body, with the tag's uid as a member.
Exit status 0 when the answer's status is 200. Needs python3-paho-mqtt."""

import argparse
import json
import sys
import threading
import uuid

import paho.mqtt.client as mqtt
from paho.mqtt.packettypes import PacketTypes
from paho.mqtt.properties import Properties


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=1883)
    ap.add_argument("--prefix", default="kq")
    ap.add_argument("--site", required=True)
    ap.add_argument("--reader", required=True)
    ap.add_argument("--user")
    ap.add_argument("--password")
    ap.add_argument("--ca", help="CA file: connect with TLS")
    ap.add_argument("--timeout", type=float, default=10)
    ap.add_argument("op", choices=["read", "write", "sensor", "beep", "command", "multi-read"])
    ap.add_argument("body", nargs="?", default="{}")
    args = ap.parse_args()

    response_topic = "%s/clients/%s" % (args.prefix, uuid.uuid4().hex)
    correlation = uuid.uuid4().bytes
    answered = threading.Event()
    answer = {}
    client = mqtt.Client(client_id="kq-op-" + uuid.uuid4().hex[:8], protocol=mqtt.MQTTv5)
    if args.user:
        client.username_pw_set(args.user, args.password)
    if args.ca:
        client.tls_set(ca_certs=args.ca)

    def on_message(c, userdata, msg):
        if getattr(msg.properties, "CorrelationData", None) == correlation:
            answer.update(json.loads(msg.payload))
            answered.set()

    def on_subscribe(c, userdata, mid, reason_codes, properties):
        props = Properties(PacketTypes.PUBLISH)
        props.ResponseTopic = response_topic
        props.CorrelationData = correlation
        topic = "%s/%s/%s/cmd/%s" % (args.prefix, args.site, args.reader, args.op)
        c.publish(topic, args.body, qos=1, properties=props)

    client.on_message = on_message
    client.on_subscribe = on_subscribe
    client.on_connect = lambda c, u, f, rc, p=None: c.subscribe(response_topic, qos=1)
    client.connect(args.host, args.port)
    client.loop_start()
    if not answered.wait(args.timeout):
        print("no answer within %g s (is the station online? kq/%s/kqd/status)"
              % (args.timeout, args.site), file=sys.stderr)
        return 1
    client.loop_stop()
    print(json.dumps(answer, indent=2))
    return 0 if answer.get("status") == 200 else 1


if __name__ == "__main__":
    sys.exit(main())
