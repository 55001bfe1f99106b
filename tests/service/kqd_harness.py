"""Starts the real kqd on 127.0.0.1 and a free port with the simulated reader,
and talks HTTP and Server-Sent Events to it with the standard library only."""
import json
import os
import re
import socket
import subprocess
import tempfile
import threading
import time

KQD = os.environ.get("KQD", "kqd")


class Kqd:
    def __init__(self, scenario, *args, trace=False, env=None):
        self.dir = tempfile.TemporaryDirectory(prefix="kqd-test-")
        self.scenario = os.path.join(self.dir.name, "scenario")
        with open(self.scenario, "w") as f:
            f.write(scenario)
        self.trace = os.path.join(self.dir.name, "trace") if trace else None
        e = dict(os.environ)
        e.pop("KQ_TRACE", None)
        if self.trace:
            e["KQ_TRACE"] = self.trace
        e.update(env or {})
        self.proc = subprocess.Popen(
            [KQD, "--simulated", "--scenario", self.scenario, "--listen", "127.0.0.1:0",
             "--log-level", "debug", *args],
            stderr=subprocess.PIPE, stdout=subprocess.DEVNULL, env=e, text=True)
        self.log = []
        self.port = None
        ready = threading.Event()

        def pump():
            for line in self.proc.stderr:
                self.log.append(line)
                m = re.search(r"listening on http://127\.0\.0\.1:(\d+)/", line)
                if m:
                    self.port = int(m.group(1))
                    ready.set()
            ready.set()

        self.pump = threading.Thread(target=pump, daemon=True)
        self.pump.start()
        if not ready.wait(20) or self.port is None:
            self.stop()
            raise RuntimeError("kqd did not start:\n" + "".join(self.log))
        self.host = f"127.0.0.1:{self.port}"

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(20)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.pump.join(5)
        rc = self.proc.returncode
        self.dir.cleanup()
        return rc

    # ---- HTTP ---------------------------------------------------------------

    def request(self, method, path, body=None, headers=None, raw_body=None, timeout=30):
        """One request on a fresh connection: (status, headers dict, body bytes)."""
        h = {"Host": self.host, "Connection": "close"}
        data = b""
        if body is not None:
            data = json.dumps(body).encode()
            h["Content-Type"] = "application/json"
        if raw_body is not None:
            data = raw_body if isinstance(raw_body, bytes) else raw_body.encode()
        if data or method == "POST":
            h["Content-Length"] = str(len(data))
        h.update(headers or {})
        head = f"{method} {path} HTTP/1.1\r\n" + "".join(
            f"{k}: {v}\r\n" for k, v in h.items() if v is not None) + "\r\n"
        return self.raw(head.encode() + data, timeout)

    def raw(self, data, timeout=30):
        with socket.create_connection(("127.0.0.1", self.port), timeout=timeout) as s:
            s.sendall(data)
            chunks = []
            while True:
                try:
                    c = s.recv(65536)
                except ConnectionResetError:
                    break
                if not c:
                    break
                chunks.append(c)
        return parse_response(b"".join(chunks))

    def get(self, path, **kw):
        return self.request("GET", path, **kw)

    def json(self, method, path, body=None, **kw):
        status, headers, data = self.request(method, path, body=body, **kw)
        return status, json.loads(data) if data else None

    def wait_for(self, predicate, timeout=15, what="condition"):
        deadline = time.time() + timeout
        while time.time() < deadline:
            v = predicate()
            if v:
                return v
            time.sleep(0.02)
        raise AssertionError(f"timed out waiting for {what}")

    def reader(self, serial="KQSIM0001"):
        """The reader's JSON, or {} while kqd does not know it yet."""
        status, body = self.json("GET", f"/v1/readers/{serial}")
        return body if status == 200 else {}

    def field(self, serial="KQSIM0001"):
        return [t["uid"] for t in self.reader(serial).get("field", [])]

    def trace_lines(self):
        if not self.trace or not os.path.exists(self.trace):
            return []
        with open(self.trace, errors="replace") as f:
            return f.readlines()

    def writes(self):
        """The frames written to the driver, as text, from the trace."""
        out = []
        for line in self.trace_lines():
            m = re.search(r'FT_Write\(.*written "(.*?)" ', line)
            if m:
                out.append(m.group(1))
        return out


def parse_response(data):
    head, _, body = data.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    if not lines or not lines[0].startswith("HTTP/1.1 "):
        return None, {}, data
    status = int(lines[0].split()[1])
    headers = {}
    for line in lines[1:]:
        k, _, v = line.partition(":")
        headers[k.strip().lower()] = v.strip()
    return status, headers, body


class Sse:
    """A client of GET /v1/events that collects events on its own thread."""

    def __init__(self, kqd, last_event_id=None, read=True):
        self.sock = socket.create_connection(("127.0.0.1", kqd.port), timeout=30)
        h = f"GET /v1/events HTTP/1.1\r\nHost: {kqd.host}\r\nAccept: text/event-stream\r\n"
        if last_event_id is not None:
            h += f"Last-Event-ID: {last_event_id}\r\n"
        self.sock.sendall((h + "\r\n").encode())
        self.events = []
        self.comments = []
        self.status = None
        self.headers = {}
        self.lock = threading.Condition()
        self.closed = False
        if read:
            self.thread = threading.Thread(target=self._run, daemon=True)
            self.thread.start()

    def _run(self):
        buf = b""
        try:
            while b"\r\n\r\n" not in buf:
                c = self.sock.recv(4096)
                if not c:
                    raise EOFError
                buf += c
            head, _, buf = buf.partition(b"\r\n\r\n")
            self.status, self.headers, _ = parse_response(head + b"\r\n\r\n")
            while True:
                while b"\n\n" in buf:
                    block, _, buf = buf.partition(b"\n\n")
                    self._block(block.decode())
                c = self.sock.recv(65536)
                if not c:
                    break
                buf += c
        except (OSError, EOFError):
            pass
        with self.lock:
            self.closed = True
            self.lock.notify_all()

    def _block(self, block):
        ev = {}
        for line in block.split("\n"):
            if line.startswith(":"):
                self.comments.append(line)
                continue
            k, _, v = line.partition(":")
            ev[k] = v[1:] if v.startswith(" ") else v
        if "data" in ev:
            item = {"id": int(ev["id"]), "event": ev["event"], "data": json.loads(ev["data"])}
            with self.lock:
                self.events.append(item)
                self.lock.notify_all()

    def wait(self, predicate, timeout=15, what="events"):
        with self.lock:
            if not self.lock.wait_for(lambda: predicate(self.events) or self.closed, timeout) \
                    or not predicate(self.events):
                raise AssertionError(f"timed out waiting for {what}; got {self.events}")
            return list(self.events)

    def close(self):
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()


def kinds(events, uid=None):
    return [e["event"] for e in events if uid is None or e["data"].get("uid") == uid]
