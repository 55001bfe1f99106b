"""service/openapi.yaml against the running kqd: every documented path and
method answers with a documented status, and every answer has the fields and
types its schema documents."""
import json
import os

import pytest
import yaml

from kqd_harness import Kqd, Sse

SPEC_PATH = os.environ.get("KQD_OPENAPI",
                           os.path.join(os.path.dirname(__file__), "../../service/openapi.yaml"))
with open(SPEC_PATH) as f:
    API_DOC = yaml.safe_load(f)

UID = "E004010000000001"
SENSOR = "E004010000000004"
SCENARIO = f"""
timing off
tag {UID}
tag E004010000000002
sensor {SENSOR} 100 00A1B2C3
data {UID} 0 HELLOKQD
"""


def resolve(node):
    while isinstance(node, dict) and "$ref" in node:
        ref = node["$ref"]
        assert ref.startswith("#/"), ref
        target = API_DOC
        for part in ref[2:].split("/"):
            target = target[part]
        node = target
    return node


TYPES = {"object": dict, "array": list, "string": str, "boolean": bool,
         "integer": int, "number": (int, float)}


def check(value, schema, where="$"):
    """A small JSON-schema check: type, required, properties, items, enum,
    allOf, minimum/maximum."""
    schema = resolve(schema)
    for sub in schema.get("allOf", []):
        check(value, sub, where)
    t = schema.get("type")
    if t:
        ok = isinstance(value, TYPES[t]) and not (t in ("integer", "number") and
                                                   isinstance(value, bool))
        assert ok, f"{where}: {value!r} is not {t}"
    if "enum" in schema:
        assert value in schema["enum"], f"{where}: {value!r} not in {schema['enum']}"
    if "minimum" in schema:
        assert value >= schema["minimum"], where
    if "maximum" in schema:
        assert value <= schema["maximum"], where
    if isinstance(value, dict):
        for name in schema.get("required", []):
            assert name in value, f"{where}: '{name}' is missing from {value}"
        for name, sub in schema.get("properties", {}).items():
            if name in value:
                check(value[name], sub, f"{where}.{name}")
    if isinstance(value, list) and "items" in schema:
        for i, item in enumerate(value):
            check(item, schema["items"], f"{where}[{i}]")


def operations():
    for path, item in API_DOC["paths"].items():
        for method, op in item.items():
            if method in ("get", "post"):
                params = [resolve(p) for p in item.get("parameters", []) + op.get("parameters", [])]
                yield pytest.param(path, method, op, params, id=f"{method.upper()} {path}")


@pytest.fixture(scope="module")
def kqd():
    k = Kqd(SCENARIO)
    k.wait_for(lambda: len(k.field()) == 3, what="the scenario's tags")
    yield k
    assert k.stop() == 0


def fill(path, params, serial="KQSIM0001"):
    for p in params:
        if p["in"] == "path":
            value = serial if p["name"] == "serial" else (
                SENSOR if path.endswith("/sensor") else UID)
            path = path.replace("{" + p["name"] + "}", value)
    return path


def body_of(op):
    rb = op.get("requestBody")
    if not rb:
        return None
    return rb["content"]["application/json"].get("example", {})


@pytest.mark.parametrize("path,method,op,params", list(operations()))
def test_documented_operation_answers_as_documented(kqd, path, method, op, params):
    target = fill(path, params)
    documented = op["responses"]
    if path == "/v1/events":
        sse = Sse(kqd, last_event_id=0)
        events = sse.wait(lambda ev: len(ev) >= 1, what="an event")
        sse.close()
        assert str(sse.status) in documented
        schema = documented["200"]["content"]["text/event-stream"]["schema"]
        for e in events:
            check(e["data"], schema)
        return
    status, headers, data = kqd.request(method.upper(), target, body=body_of(op))
    assert str(status) in documented, f"{status} is not documented for {method} {path}: {data}"
    response = resolve(documented[str(status)])
    content = response.get("content", {})
    media = headers.get("content-type", "").split(";")[0]
    assert media in content, f"{media} is not documented for {status}"
    if media == "application/json":
        check(json.loads(data), content[media]["schema"])
    if path == "/v1/readers/{serial}/tags/{uid}/read":
        assert status == 200, data


@pytest.mark.parametrize("path,method,op,params",
                         [p for p in operations() if "{serial}" in p.values[0]])
def test_unknown_reader_gets_the_documented_error(kqd, path, method, op, params):
    status, headers, data = kqd.request(method.upper(), fill(path, params, serial="NOSUCH1"),
                                        body=body_of(op))
    assert status == 404 and "404" in op["responses"]
    check(json.loads(data), resolve(op["responses"]["404"])["content"]["application/json"]["schema"])


@pytest.mark.parametrize("path,method,op,params",
                         [p for p in operations() if p.values[2].get("requestBody")])
def test_members_outside_the_schema_are_refused(kqd, path, method, op, params):
    schema = op["requestBody"]["content"]["application/json"]["schema"]
    assert schema.get("additionalProperties") is False
    body = dict(body_of(op))
    body["surplus"] = 1
    status, data = kqd.json("POST", fill(path, params), body)
    assert status == 400 and data["error"]["field"] == "surplus"


def test_every_route_of_the_api_is_documented(kqd):
    # The routes kqd serves under /v1 and beside it; a new one must be added
    # to the file (and here).
    served = {"/healthz", "/metrics", "/v1/readers", "/v1/readers/{serial}",
              "/v1/readers/{serial}/field", "/v1/readers/{serial}/tags/{uid}/read",
              "/v1/readers/{serial}/tags/{uid}/write", "/v1/readers/{serial}/tags/{uid}/sensor",
              "/v1/readers/{serial}/command", "/v1/readers/{serial}/beep",
              "/v1/readers/{serial}/multi-read", "/v1/events"}
    assert set(API_DOC["paths"]) == served
    assert kqd.get("/v1/undocumented")[0] == 404
