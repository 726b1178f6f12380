"""Stand-in for Langfuse's public API, as the SDK of the 2.x line uses it.

POST /api/public/ingestion takes the SDK's event batches (trace, span, generation and event
create/update) and answers 207 with one success per event; GET /api/public/observations?traceId=
&page=&limit= lists a trace's observations newest first, with `meta` {page, limit, totalItems,
totalPages}. Both need HTTP basic auth with the configured key pair.

Test controls: PUT /api/admin/scripts/{traceId} with {"states": [[observation, ...], ...]} makes
the trace's listing answer from the first state, then from the next one at each listing call
(staying on the last): a trace that grows, or whose running observations finish. The
observations are given in the listing's own JSON form. GET /api/admin/scripts/{traceId} returns
{"calls": [query, ...]} (the listing calls of that trace); DELETE /api/admin clears everything.

Run: python langfuse_standin.py --port 3000 --public-key pk --secret-key sk. Binds 127.0.0.1.
"""

import argparse
import base64
import json
import math
import threading
from datetime import datetime
from urllib.parse import parse_qs, urlsplit

from standin_http import JsonHandler, serve

MAX_BODY = 32 << 20  # bytes of request body accepted
OBSERVATION_TYPES = {"span": "SPAN", "generation": "GENERATION", "event": "EVENT"}

lock = threading.Lock()
traces: dict[str, dict] = {}  # trace id -> the merged trace body
observations: dict[str, dict] = {}  # observation id -> the merged event body, with "type"
scripts: dict[str, dict] = {}  # trace id -> {"states": [...], "next": index, "calls": [...]}
credentials = ("", "")


def parse_time(text):
    return datetime.fromisoformat(text.replace("Z", "+00:00")) if text else None


def listed(body: dict) -> dict:
    """An ingested observation in the listing's form, with the figures Langfuse derives."""
    start, end = parse_time(body.get("startTime")), parse_time(body.get("endTime"))
    usage = body.get("usageDetails") or body.get("usage") or {}
    first = parse_time(body.get("completionStartTime"))
    return {
        "id": body["id"],
        "traceId": body.get("traceId"),
        "type": body["type"],
        "name": body.get("name"),
        "startTime": body.get("startTime"),
        "endTime": body.get("endTime"),
        "completionStartTime": body.get("completionStartTime"),
        "model": body.get("model"),
        "modelParameters": body.get("modelParameters"),
        "input": body.get("input"),
        "output": body.get("output"),
        "metadata": body.get("metadata"),
        "version": body.get("version"),
        "level": body.get("level") or "DEFAULT",
        "statusMessage": body.get("statusMessage"),
        "parentObservationId": body.get("parentObservationId"),
        "promptTokens": usage.get("input", 0),
        "completionTokens": usage.get("output", 0),
        "totalTokens": usage.get("total", 0),
        "usageDetails": {k: v for k, v in usage.items() if isinstance(v, int)},
        "latency": (end - start).total_seconds() if start and end else None,
        "timeToFirstToken": (first - start).total_seconds() if start and first else None,
        "environment": "default",
    }


def ingest(event: dict) -> None:
    kind, body = event["type"], dict(event.get("body") or {})
    if kind == "sdk-log":
        return
    if kind == "trace-create":
        traces.setdefault(body["id"], {}).update({k: v for k, v in body.items() if v is not None})
        return
    family, _, action = kind.rpartition("-")
    if action not in ("create", "update"):
        raise ValueError(f"unknown event type {kind!r}")
    body["type"] = body.get("type") or OBSERVATION_TYPES.get(family) or "SPAN"
    stored = observations.setdefault(body["id"], {"type": body["type"]})
    stored.update({k: v for k, v in body.items() if v is not None})


def trace_listing(trace_id: str) -> list[dict]:
    """The trace's observations, newest start first, as Langfuse orders them."""
    script = scripts.get(trace_id)
    if script is not None:
        state = script["states"][min(script["next"], len(script["states"]) - 1)]
        script["next"] += 1
        return list(state)
    found = [listed(o) for o in observations.values() if o.get("traceId") == trace_id]
    return sorted(found, key=lambda o: o["startTime"] or "", reverse=True)


class Handler(JsonHandler):

    def _body(self):
        length = self.headers.get("Content-Length")
        if length is None or not length.isdigit() or int(length) > MAX_BODY:
            self.close_connection = True
            return None
        try:
            return json.loads(self.rfile.read(int(length)) or b"null")
        except ValueError:
            return None

    def _authorised(self) -> bool:
        given = self.headers.get("Authorization", "")
        expected = "Basic " + base64.b64encode(":".join(credentials).encode()).decode()
        if given == expected:
            return True
        self._send(401, {"message": "Invalid credentials"})
        return False

    def do_GET(self):
        url = urlsplit(self.path)
        query = {k: v[-1] for k, v in parse_qs(url.query).items()}
        if url.path == "/":
            return self._send(200, {"name": "langfuse stand-in"})
        if url.path.startswith("/api/admin/scripts/"):
            script = scripts.get(url.path.rsplit("/", 1)[1])
            return self._send(200 if script else 404, {"calls": script["calls"] if script else []})
        if url.path != "/api/public/observations":
            return self._send(404, {"message": "not found"})
        if not self._authorised():
            return None
        try:
            page, limit = int(query.get("page", 1)), int(query.get("limit", 50))
        except ValueError:
            return self._send(400, {"message": "page and limit must be integers"})
        if page < 1 or not 1 <= limit <= 100:
            return self._send(400, {"message": "page must be >= 1 and limit within 1..100"})
        with lock:
            trace_id = query.get("traceId")
            if trace_id in scripts:
                scripts[trace_id]["calls"].append(query)
            found = trace_listing(trace_id) if trace_id else []
        meta = {"page": page, "limit": limit, "totalItems": len(found),
                "totalPages": math.ceil(len(found) / limit)}
        return self._send(200, {"data": found[(page - 1) * limit:page * limit], "meta": meta})

    def do_PUT(self):
        url = urlsplit(self.path)
        doc = self._body()
        if not url.path.startswith("/api/admin/scripts/"):
            return self._send(404, {"message": "not found"})
        if not isinstance(doc, dict) or not doc.get("states"):
            return self._send(400, {"message": "body must be {\"states\": [[...], ...]}"})
        with lock:
            scripts[url.path.rsplit("/", 1)[1]] = {"states": doc["states"], "next": 0, "calls": []}
        return self._send(200, {"ok": True})

    def do_DELETE(self):
        if urlsplit(self.path).path != "/api/admin":
            return self._send(404, {"message": "not found"})
        with lock:
            traces.clear()
            observations.clear()
            scripts.clear()
        return self._send(200, {"ok": True})

    def do_POST(self):
        doc = self._body()
        if urlsplit(self.path).path != "/api/public/ingestion":
            return self._send(404, {"message": "not found"})
        if not self._authorised():
            return None
        if not isinstance(doc, dict) or not isinstance(doc.get("batch"), list):
            return self._send(400, {"message": "body must be {\"batch\": [...]}"})
        successes, errors = [], []
        with lock:
            for event in doc["batch"]:
                try:
                    ingest(event)
                    successes.append({"id": event["id"], "status": 201})
                except (KeyError, TypeError, ValueError, AttributeError) as exc:
                    errors.append({"id": str(event.get("id") if isinstance(event, dict) else None),
                                   "status": 400, "message": str(exc)})
        return self._send(207, {"successes": successes, "errors": errors})


def main():
    global credentials
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--port", type=int, default=3000)
    parser.add_argument("--public-key", default="pk-lf-local")
    parser.add_argument("--secret-key", default="sk-lf-local")
    args = parser.parse_args()
    credentials = (args.public_key, args.secret_key)
    serve(Handler, args.port, "Langfuse stand-in")


if __name__ == "__main__":
    main()
