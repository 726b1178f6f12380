"""Stand-in for the vector database's REST interface: collections, point upserts, filtered
scrolls and payload updates, kept in memory. Run: python vexlo_standin.py --port 6333
[--api-key KEY]. Binds 127.0.0.1 only."""

import argparse
import json
import threading
import uuid
from http.server import BaseHTTPRequestHandler
from urllib.parse import unquote, urlsplit

from standin_http import serve

_MISSING = object()


def _lookup(payload, path):
    """Values at a dotted payload path; lists on the way are searched element by element."""
    values = [payload]
    for part in path.split("."):
        found = []
        for value in values:
            if isinstance(value, list):
                found.extend(v.get(part, _MISSING) for v in value if isinstance(v, dict))
            elif isinstance(value, dict):
                found.append(value.get(part, _MISSING))
        values = [v for v in found if v is not _MISSING]
    flat = []
    for value in values:
        flat.extend(value if isinstance(value, list) else [value])
    return flat


def _condition(point, cond):
    if any(k in cond for k in ("must", "should", "must_not")):
        return _matches(point, cond)
    if "has_id" in cond:
        return point["id"] in cond["has_id"]
    if "is_empty" in cond:
        return not _lookup(point["payload"], cond["is_empty"]["key"])
    if "key" in cond and "match" in cond:
        values = _lookup(point["payload"], cond["key"])
        match = cond["match"]
        if "value" in match:
            return match["value"] in values
        if "any" in match:
            return any(v in values for v in match["any"])
        if "except" in match:
            return bool(values) and all(v not in match["except"] for v in values)
    raise ValueError(f"unsupported condition: {cond}")


def _matches(point, flt):
    if not flt:
        return True
    must = flt.get("must") or []
    should = flt.get("should") or []
    must_not = flt.get("must_not") or []
    if isinstance(must, dict):
        must = [must]
    if isinstance(should, dict):
        should = [should]
    if isinstance(must_not, dict):
        must_not = [must_not]
    if not all(_condition(point, c) for c in must):
        return False
    if should and not any(_condition(point, c) for c in should):
        return False
    return not any(_condition(point, c) for c in must_not)


def _id_key(point_id):
    # Numeric ids come before UUIDs, each in their natural order.
    return (0, point_id, "") if isinstance(point_id, int) else (1, 0, str(point_id))


def _select_payload(payload, with_payload):
    if with_payload is True or with_payload is None:
        return payload
    if with_payload is False:
        return None
    if isinstance(with_payload, list):
        return {k: v for k, v in payload.items() if k in with_payload}
    if isinstance(with_payload, dict) and "include" in with_payload:
        return {k: v for k, v in payload.items() if k in with_payload["include"]}
    return payload


class Store:
    def __init__(self):
        self.lock = threading.Lock()
        self.collections = {}  # name -> {"config": ..., "points": {id: point}}
        self.operation = 0


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    store = Store()
    api_key = None

    def log_message(self, *args):
        pass

    def _send(self, status, result=None, error=None):
        if error is not None:
            doc = {"status": {"error": error}, "time": 0.0}
        else:
            doc = {"result": result, "status": "ok", "time": 0.0}
        body = json.dumps(doc).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def _body(self):
        length = int(self.headers.get("Content-Length") or 0)
        raw = self.rfile.read(length) if length else b""
        return json.loads(raw) if raw else {}

    def _dispatch(self, method):
        try:
            body = self._body()
        except ValueError as exc:
            return self._send(400, error=f"Format error in JSON body: {exc}")
        if self.api_key is not None and self.headers.get("api-key") != self.api_key:
            return self._send(401, error="Invalid api-key")
        parts = [unquote(p) for p in urlsplit(self.path).path.split("/") if p]
        if not parts or parts[0] != "collections":
            return self._send(404, error="Not found")
        if len(parts) == 1 and method == "GET":
            with self.store.lock:
                names = [{"name": n} for n in self.store.collections]
            return self._send(200, {"collections": names})
        name = parts[1] if len(parts) > 1 else ""
        rest = parts[2:]
        try:
            with self.store.lock:
                return self._route(method, name, rest, body)
        except ValueError as exc:
            return self._send(400, error=f"Bad request: {exc}")

    def _route(self, method, name, rest, body):
        collections = self.store.collections
        coll = collections.get(name)
        if rest == ["exists"] and method == "GET":
            return self._send(200, {"exists": coll is not None})
        if not rest:
            if method == "GET":
                if coll is None:
                    return self._send(404, error=f"Not found: Collection `{name}` doesn't exist!")
                return self._send(200, {"status": "green", "points_count": len(coll["points"]),
                                        "config": coll["config"]})
            if method == "PUT":
                if coll is not None:
                    return self._send(409, error=f"Wrong input: Collection `{name}` already exists!")
                collections[name] = {"config": body, "points": {}}
                return self._send(200, True)
            if method == "DELETE":
                return self._send(200, collections.pop(name, None) is not None)
        if coll is None:
            return self._send(404, error=f"Not found: Collection `{name}` doesn't exist!")
        if rest == ["points"] and method in ("PUT", "POST"):
            for point in body.get("points", []):
                if not isinstance(point.get("id"), (int, str)):
                    raise ValueError("point id must be an integer or a UUID")
                if isinstance(point["id"], str):
                    uuid.UUID(point["id"])
                coll["points"][point["id"]] = {"id": point["id"], "vector": point.get("vector"),
                                               "payload": point.get("payload") or {}}
            return self._done()
        if rest == ["points", "scroll"] and method == "POST":
            return self._scroll(coll, body)
        if rest == ["points", "payload"] and method in ("POST", "PUT"):
            for point in self._targets(coll, body):
                if method == "PUT":
                    point["payload"] = dict(body.get("payload") or {})
                elif body.get("key"):
                    target = point["payload"]
                    for part in body["key"].split("."):
                        target = target.setdefault(part, {})
                    target.update(body.get("payload") or {})
                else:
                    point["payload"].update(body.get("payload") or {})
            return self._done()
        return self._send(404, error="Not found")

    def _targets(self, coll, body):
        if "points" in body:
            return [coll["points"][i] for i in body["points"] if i in coll["points"]]
        return [p for p in coll["points"].values() if _matches(p, body.get("filter"))]

    def _done(self):
        self.store.operation += 1
        return self._send(200, {"operation_id": self.store.operation, "status": "completed"})

    def _scroll(self, coll, body):
        limit = body.get("limit", 10)
        if not isinstance(limit, int) or limit < 1:
            raise ValueError("limit must be a positive integer")
        offset = body.get("offset")
        flt = body.get("filter")
        points = sorted(coll["points"].values(), key=lambda p: _id_key(p["id"]))
        if offset is not None:
            points = [p for p in points if _id_key(p["id"]) >= _id_key(offset)]
        selected = [p for p in points if _matches(p, flt)]
        page, more = selected[:limit], selected[limit:]
        out = []
        for p in page:
            record = {"id": p["id"], "payload": _select_payload(p["payload"], body.get("with_payload", True))}
            if body.get("with_vector"):
                record["vector"] = p["vector"]
            out.append(record)
        return self._send(200, {"points": out, "next_page_offset": more[0]["id"] if more else None})

    def do_GET(self):
        self._dispatch("GET")

    def do_PUT(self):
        self._dispatch("PUT")

    def do_POST(self):
        self._dispatch("POST")

    def do_DELETE(self):
        self._dispatch("DELETE")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--port", type=int, default=6333)
    parser.add_argument("--api-key", default=None)
    args = parser.parse_args()
    Handler.api_key = args.api_key
    serve(Handler, args.port, "vector database stand-in")


if __name__ == "__main__":
    main()
