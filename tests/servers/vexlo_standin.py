"""Stand-in for the vector database's REST interface, kept in memory: collections with dense and
sparse vector configs, point upserts checked against them, ranked queries (cosine, dot or
Euclidean distance for dense vectors, dot product for sparse ones) with prefetch, filtered
scrolls and payload updates. Run: python vexlo_standin.py --port 6333 [--api-key KEY]. Binds
127.0.0.1 only.

For tests, under /_standin/ (no api-key needed):
  GET    /_standin/requests   the last requests received: method, path, headers in received order,
                              body as Base64 (at most 1 MiB of it kept) and its size
  DELETE /_standin/requests   forgets them
  POST   /_standin/mode       {"delay": seconds} answers late; {"stall": true} never answers
  POST   /_standin/script     {"status", "reason", "body" (Base64), "content_type"} is answered,
                              as it stands, to the next request (queued, first in first out)
  POST   /_standin/reset      log, mode and scripted answers back to their start state; with
                              {"scope": text}, the log, mode and scripts then concern only
                              requests whose path holds that text (other users of the server,
                              and its health probe, keep being served as usual)
"""

import argparse
import base64
import collections
import json
import math
import threading
import time
import uuid
from http.server import BaseHTTPRequestHandler
from urllib.parse import unquote, urlsplit

from standin_http import serve

try:  # fast enough for the benchmarks' 25 MB bodies; strict about lone surrogates, as the
    import orjson  # database's own parser is
except ImportError:  # pragma: no cover - orjson is in the development requirements
    orjson = None

_MISSING = object()
_LOG_ENTRIES = 64
_LOG_BODY_BYTES = 1 << 20
_STALL_SECONDS = 600


def _loads(raw):
    if orjson is not None:
        return orjson.loads(raw)
    return json.loads(raw)


def _dumps(doc):
    if orjson is not None:
        try:
            return orjson.dumps(doc)
        except TypeError:
            pass
    return json.dumps(doc).encode()


class BadRequest(ValueError):
    """A request the database refuses with 400 and this text."""


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
    if "key" in cond and "range" in cond:
        bounds = cond["range"]
        checks = {"gt": lambda v, b: v > b, "gte": lambda v, b: v >= b,
                  "lt": lambda v, b: v < b, "lte": lambda v, b: v <= b}
        return any(isinstance(v, (int, float)) and all(
            checks[k](v, b) for k, b in bounds.items() if k in checks and b is not None)
            for v in _lookup(point["payload"], cond["key"]))
    raise BadRequest(f"Format error in JSON body: unsupported condition: {cond}")


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


# ---- vectors -------------------------------------------------------------------------------------

_DISTANCES = ("Cosine", "Dot", "Euclid")


def _dense_params(params, where):
    if not isinstance(params, dict) or not isinstance(params.get("size"), int) \
            or params["size"] < 1 or params.get("distance") not in _DISTANCES:
        raise BadRequest(f"Format error in JSON body: {where} needs a positive integer size and a "
                         f"distance of {', '.join(_DISTANCES)}")
    return {"size": params["size"], "distance": params["distance"]}


def _vector_config(body):
    """{name: dense params} ("" for the unnamed vector) and {name: sparse params}."""
    if not isinstance(body, dict):
        raise BadRequest("Format error in JSON body: expected an object")
    vectors = body.get("vectors")
    dense = {}
    if vectors is None or vectors == {}:
        pass
    elif isinstance(vectors, dict) and "size" in vectors:
        dense[""] = _dense_params(vectors, "vectors")
    elif isinstance(vectors, dict):
        dense = {name: _dense_params(p, f"vectors.{name}") for name, p in vectors.items()}
    else:
        raise BadRequest("Format error in JSON body: vectors must be an object")
    sparse = body.get("sparse_vectors") or {}
    if not isinstance(sparse, dict) or not all(isinstance(p, dict) for p in sparse.values()):
        raise BadRequest("Format error in JSON body: sparse_vectors must map names to objects")
    return dense, dict(sparse)


def _sparse(value, where):
    if not isinstance(value, dict) or set(value) != {"indices", "values"}:
        raise BadRequest(f"Format error in JSON body: {where} must be {{indices, values}}")
    indices, values = value["indices"], value["values"]
    if not isinstance(indices, list) or not isinstance(values, list) \
            or len(indices) != len(values):
        raise BadRequest(f"Wrong input: {where}: indices and values must be lists of one length")
    if not set(map(type, indices)) <= {int} or (indices and min(indices) < 0):
        raise BadRequest(f"Format error in JSON body: {where}: indices must be unsigned integers")
    if len(set(indices)) != len(indices):
        raise BadRequest(f"Wrong input: {where}: indices must be unique")
    _numbers(values, where)
    return dict(zip(indices, values))


def _numbers(values, where):
    # Type by type rather than value by value: upserts of a million floats stay cheap.
    if not set(map(type, values)) <= {int, float}:
        raise BadRequest(f"Format error in JSON body: {where} must hold numbers")


def _dense(value, size, where):
    if not isinstance(value, list):
        raise BadRequest(f"Format error in JSON body: {where} must be a list of numbers")
    if len(value) != size:
        raise BadRequest(f"Wrong input: Vector dimension error: expected dim: {size}, got "
                         f"{len(value)}")
    _numbers(value, where)
    return value


def _point_vectors(coll, vector):
    """A point's vectors as {name: list (dense) or {index: value} (sparse)}."""
    dense, sparse = coll["dense"], coll["sparse"]
    if vector is None:
        return {}
    if isinstance(vector, list):
        if "" not in dense:
            raise BadRequest("Wrong input: Not existing vector name error: ")
        return {"": _dense(vector, dense[""]["size"], "vector")}
    if not isinstance(vector, dict):
        raise BadRequest("Format error in JSON body: vector must be a list or an object")
    out = {}
    for name, value in vector.items():
        if name in dense:
            out[name] = _dense(value, dense[name]["size"], f"vector.{name}")
        elif name in sparse:
            out[name] = _sparse(value, f"vector.{name}")
        else:
            raise BadRequest(f"Wrong input: Not existing vector name error: {name}")
    return out


def _dot(a, b):
    return math.fsum(x * y for x, y in zip(a, b))


def _score(distance, stored, query):
    if distance == "Cosine":
        norm = math.sqrt(_dot(stored, stored)) * math.sqrt(_dot(query, query))
        return _dot(stored, query) / norm if norm else 0.0
    if distance == "Dot":
        return _dot(stored, query)
    return math.sqrt(math.fsum((x - y) ** 2 for x, y in zip(stored, query)))


# ---- server --------------------------------------------------------------------------------------


class Admin:
    """What tests set and read: the request log, the answer mode and the scripted answers."""

    def __init__(self):
        self.lock = threading.Lock()
        self.log = collections.deque(maxlen=_LOG_ENTRIES)
        self.script = collections.deque()
        self.delay = 0.0
        self.stall = False
        self.released = threading.Event()  # set to let stalled requests go
        self.scope = None  # only paths holding this text are logged, delayed or scripted

    def reset(self, scope=None):
        with self.lock:
            self.scope = scope
            self.log.clear()
            self.script.clear()
            self.delay = 0.0
            self.stall = False
            self.released.set()
            self.released = threading.Event()


class Store:
    def __init__(self):
        self.lock = threading.Lock()
        self.collections = {}  # name -> {"config", "dense", "sparse", "points": {id: point}}
        self.operation = 0


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    store = Store()
    admin = Admin()
    api_key = None

    def log_message(self, *args):
        pass

    def _raw(self, status, body, reason=None, content_type="application/json"):
        self.send_response(status, reason)
        if content_type:
            self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def _send(self, status, result=None, error=None):
        if error is not None:
            doc = {"status": {"error": error}, "time": self._took()}
        else:
            doc = {"result": result, "status": "ok", "time": self._took()}
        self._raw(status, _dumps(doc))

    def _took(self):
        """Seconds spent on the request since its body was read, as the database reports them;
        also kept in the request's log entry."""
        took = time.perf_counter() - self._began if self._began is not None else 0.0
        if self._entry is not None:
            self._entry["seconds"] = took
        return took

    def _read(self):
        length = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(length) if length else b""

    def _record(self, method, raw):
        entry = {"method": method, "path": self.path,
                 "headers": [[k, v] for k, v in self.headers.items()],
                 "body": base64.b64encode(raw[:_LOG_BODY_BYTES]).decode(), "size": len(raw)}
        with self.admin.lock:
            if self.admin.scope is not None and self.admin.scope not in self.path:
                return None, 0.0, False, None
            self.admin.log.append(entry)
            self._entry = entry
            scripted = self.admin.script.popleft() if self.admin.script else None
            delay, stall, released = self.admin.delay, self.admin.stall, self.admin.released
        return scripted, delay, stall, released

    def _dispatch(self, method):
        self._entry = self._began = None
        raw = self._read()
        self._began = time.perf_counter()
        if self.path.startswith("/_standin/"):
            return self._admin(method, raw)
        scripted, delay, stall, released = self._record(method, raw)
        if stall:
            released.wait(_STALL_SECONDS)
            self.close_connection = True
            return None
        if delay:
            time.sleep(delay)
        if scripted is not None:
            return self._raw(scripted["status"], base64.b64decode(scripted.get("body") or ""),
                             scripted.get("reason"), scripted.get("content_type"))
        try:
            body = _loads(raw) if raw else {}
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
        except BadRequest as exc:
            return self._send(400, error=str(exc))
        except (ValueError, TypeError, KeyError, AttributeError) as exc:
            return self._send(400, error=f"Bad request: {exc!r}")

    def _admin(self, method, raw):
        what = urlsplit(self.path).path[len("/_standin/"):]
        body = json.loads(raw) if raw else {}
        admin = self.admin
        if what == "requests" and method == "GET":
            with admin.lock:
                entries = list(admin.log)
            return self._raw(200, json.dumps({"requests": entries}).encode())
        if what == "requests" and method == "DELETE":
            with admin.lock:
                admin.log.clear()
        elif what == "mode" and method == "POST":
            with admin.lock:
                admin.delay = float(body.get("delay") or 0.0)
                admin.stall = bool(body.get("stall"))
        elif what == "script" and method == "POST":
            with admin.lock:
                admin.script.append(body)
        elif what == "reset" and method == "POST":
            admin.reset(body.get("scope"))
        else:
            return self._send(404, error="Not found")
        return self._send(200, True)

    def _route(self, method, name, rest, body):
        collections_ = self.store.collections
        coll = collections_.get(name)
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
                dense, sparse = _vector_config(body)
                collections_[name] = {"config": body, "dense": dense, "sparse": sparse,
                                      "points": {}}
                return self._send(200, True)
            if method == "DELETE":
                return self._send(200, collections_.pop(name, None) is not None)
        if coll is None:
            return self._send(404, error=f"Not found: Collection `{name}` doesn't exist!")
        if rest == ["points"] and method in ("PUT", "POST"):
            return self._upsert(coll, body)
        if rest == ["points", "scroll"] and method == "POST":
            return self._scroll(coll, body)
        if rest == ["points", "query"] and method == "POST":
            return self._send(200, {"points": self._query(coll, body)})
        if rest == ["points", "payload"] and method in ("POST", "PUT"):
            return self._set_payload(coll, method, body)
        return self._send(404, error="Not found")

    def _upsert(self, coll, body):
        if not isinstance(body, dict) or not isinstance(body.get("points"), list):
            raise BadRequest("Format error in JSON body: missing field `points`")
        accepted = []
        for point in body["points"]:
            if not isinstance(point, dict):
                raise BadRequest("Format error in JSON body: a point must be an object")
            point_id = point.get("id")
            if isinstance(point_id, bool) or not isinstance(point_id, (int, str)) or (
                    isinstance(point_id, int) and point_id < 0):
                raise BadRequest("Format error in JSON body: point id must be an unsigned "
                                 "integer or a UUID")
            if isinstance(point_id, str):
                try:
                    uuid.UUID(point_id)
                except ValueError:
                    raise BadRequest(f"Format error in JSON body: {point_id} is not a UUID")
            payload = point.get("payload") or {}
            if not isinstance(payload, dict):
                raise BadRequest("Format error in JSON body: payload must be an object")
            accepted.append({"id": point_id, "vector": point.get("vector"),
                             "vectors": _point_vectors(coll, point.get("vector")),
                             "payload": payload})
        for point in accepted:  # all or nothing
            coll["points"][point["id"]] = point
        return self._done()

    def _targets(self, coll, body):
        if body.get("points") is not None:
            return [coll["points"][i] for i in body["points"] if i in coll["points"]]
        if body.get("filter") is not None:
            return [p for p in coll["points"].values() if _matches(p, body["filter"])]
        raise BadRequest("Wrong input: Either list of point ids or filter must be provided")

    def _set_payload(self, coll, method, body):
        value = body.get("payload") if isinstance(body, dict) else None
        if not isinstance(value, dict):
            raise BadRequest("Format error in JSON body: missing field `payload`")
        for point in self._targets(coll, body):
            if method == "PUT":
                point["payload"] = dict(value)
            elif body.get("key"):
                target = point["payload"]
                for part in body["key"].split("."):
                    target = target.setdefault(part, {})
                target.update(value)
            else:
                point["payload"].update(value)
        return self._done()

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

    def _query(self, coll, body, candidates=None):
        """The scored points of one query (and its prefetches), best first."""
        if not isinstance(body, dict):
            raise BadRequest("Format error in JSON body: a query must be an object")
        limit = body.get("limit")
        limit = 10 if limit is None else limit
        if isinstance(limit, bool) or not isinstance(limit, int) or limit < 0:
            raise BadRequest("Format error in JSON body: limit must be an unsigned integer")
        prefetch = body.get("prefetch")
        if prefetch:
            found = {}
            for sub in prefetch if isinstance(prefetch, list) else [prefetch]:
                for hit in self._query(coll, sub, candidates):
                    found.setdefault(hit["id"], coll["points"][hit["id"]])
            candidates = list(found.values())
        pool = candidates if candidates is not None else list(coll["points"].values())
        pool = [p for p in pool if _matches(p, body.get("filter"))]
        query = body.get("query")
        if isinstance(query, dict) and "nearest" in query:
            query = query["nearest"]
        using = body.get("using") or ""
        scored = []
        if query is None:
            scored = [(0.0, p) for p in sorted(pool, key=lambda p: _id_key(p["id"]))]
            lower_is_better = False
        elif isinstance(query, list):
            if using not in coll["dense"]:
                raise BadRequest(f"Wrong input: Not existing vector name error: {using}")
            params = coll["dense"][using]
            _dense(query, params["size"], "query")
            lower_is_better = params["distance"] == "Euclid"
            scored = [(_score(params["distance"], p["vectors"][using], query), p)
                      for p in pool if using in p["vectors"]]
        elif isinstance(query, dict):
            if using not in coll["sparse"]:
                raise BadRequest(f"Wrong input: Not existing sparse vector name error: {using}")
            q = _sparse(query, "query")
            lower_is_better = False
            for p in pool:
                stored = p["vectors"].get(using)
                if stored is None:
                    continue
                shared = [i for i in q if i in stored]
                if shared:
                    scored.append((math.fsum(q[i] * stored[i] for i in shared), p))
        else:
            raise BadRequest("Format error in JSON body: unsupported query")
        threshold = body.get("score_threshold")
        if threshold is not None and query is not None:
            scored = [(s, p) for s, p in scored
                      if (s <= threshold if lower_is_better else s >= threshold)]
        if query is not None:
            scored.sort(key=lambda sp: (sp[0] if lower_is_better else -sp[0], _id_key(sp[1]["id"])))
        with_payload = body.get("with_payload", False)
        out = []
        for s, p in scored[:limit]:
            hit = {"id": p["id"], "version": 0, "score": s}
            selected = _select_payload(p["payload"], with_payload)
            if selected is not None:
                hit["payload"] = selected
            out.append(hit)
        return out

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
