#!/usr/bin/env python3
"""Prints the events of a fleet of kqd stations from an MQTT broker, each
event once: kqd sends events at QoS 1, so after a reconnect one may arrive
twice; (site, reader, epoch, seq) tells them apart. Gaps and kqd's own
announcements of dropped events are reported too.

    python3 examples/mqtt_subscriber.py --host broker.example --prefix kq

Needs python3-paho-mqtt (Debian). The session is persistent (a fixed client
id, clean_session off, QoS 1): what the broker keeps for it while it is away
is delivered when it comes back. docs/mqtt.md describes the topics."""

import argparse
import json
import ssl

import paho.mqtt.client as mqtt


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=None, help="default 1883, or 8883 with --ca")
    ap.add_argument("--prefix", default="kq")
    ap.add_argument("--site", default="+", help="one station, or + for all")
    ap.add_argument("--client-id", default="kq-fleet-subscriber")
    ap.add_argument("--user")
    ap.add_argument("--password")
    ap.add_argument("--ca", help="CA file: connect with TLS")
    ap.add_argument("--cert", help="client certificate (TLS)")
    ap.add_argument("--key", help="client key (TLS)")
    ap.add_argument("--count", type=int, default=0, help="stop after N events (0: never)")
    args = ap.parse_args()

    last = {}  # (site, reader) -> (epoch, seq) of the newest event printed
    printed = [0]
    client = mqtt.Client(client_id=args.client_id, clean_session=False)
    if args.user:
        client.username_pw_set(args.user, args.password)
    if args.ca:
        client.tls_set(ca_certs=args.ca, certfile=args.cert, keyfile=args.key,
                       tls_version=ssl.PROTOCOL_TLS_CLIENT)

    def on_connect(c, userdata, flags, rc):
        if rc != 0:
            print("broker refused the connection:", mqtt.connack_string(rc))
            return
        c.subscribe("%s/%s/+/events" % (args.prefix, args.site), qos=1)
        c.subscribe("%s/%s/kqd/status" % (args.prefix, args.site), qos=1)

    def on_message(c, userdata, msg):
        parts = msg.topic.split("/")
        if msg.topic.endswith("/kqd/status"):
            print("station %s is %s" % (parts[-3], msg.payload.decode()))
            return
        e = json.loads(msg.payload)
        key = (e["site"], e["reader"])
        if e["kind"] == "dropped":
            print("%s/%s: kqd dropped %d events (%d..%d) while the broker was away"
                  % (e["site"], e["reader"], e["count"], e["first_seq"], e["last_seq"]))
            last[key] = (e["epoch"], max(last.get(key, (e["epoch"], 0))[1], e["last_seq"]))
            return
        epoch, seq = last.get(key, (None, 0))
        if epoch == e["epoch"] and e["seq"] <= seq:
            return  # a duplicate (or an older event resent after a reconnect)
        if epoch is not None and epoch != e["epoch"]:
            print("%s/%s: a new series of numbers (kqd started without its state)" % key)
        elif epoch is not None and e["seq"] != seq + 1:
            print("%s/%s: events %d..%d missing" % (key + (seq + 1, e["seq"] - 1)))
        last[key] = (e["epoch"], e["seq"])
        print("%s %-8s %-8s %-12s %s" % (e["time"], e["site"], e["kind"], e["reader"],
                                         e.get("uid", "")))
        printed[0] += 1
        if args.count and printed[0] >= args.count:
            c.disconnect()

    client.on_connect = on_connect
    client.on_message = on_message
    client.reconnect_delay_set(1, 30)
    client.connect(args.host, args.port or (8883 if args.ca else 1883), keepalive=30)
    client.loop_forever()


if __name__ == "__main__":
    main()
