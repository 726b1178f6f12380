"""Stand-in for an OpenSearch node: indices (create, exists, delete, refresh), documents (index,
get, source, delete, bulk), search, count and delete-by-query with the simple queries (match_all,
term, terms, match, exists, range, bool), basic authentication on every request. Run: python opensearch_standin.py --port 9200
[--user admin --password secret]. Binds 127.0.0.1 only."""

import argparse
import base64
import json
import threading
import uuid
from http.server import BaseHTTPRequestHandler
from urllib.parse import parse_qs, unquote, urlsplit

from standin_http import serve


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    lock = threading.Lock()
    indices = {}  # index -> {id: (source text, version)}
    credentials = None  # (user, password) or None

    def log_message(self, *args):
        pass

    def _send(self, status, doc=None, raw=None, extra=(), head_only=False):
        body = raw if raw is not None else json.dumps(doc).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json; charset=UTF-8")
        self.send_header("Content-Length", str(len(body)))
        for name, value in extra:
            self.send_header(name, value)
        self.end_headers()
        if not head_only:
            self.wfile.write(body)

    def _store(self, index, doc_id, raw, only_new=False):
        """Stores a document; (status, answer) as OpenSearch gives them."""
        with self.lock:
            docs = self.indices.setdefault(index, {})
            if only_new and doc_id in docs:
                return 409, {"_index": index, "_id": doc_id, "error": {
                    "type": "version_conflict_engine_exception",
                    "reason": f"[{doc_id}]: version conflict, document already exists"}}
            version = docs[doc_id][1] + 1 if doc_id in docs else 1
            docs[doc_id] = (raw, version)
        return (201 if version == 1 else 200,
                {"_index": index, "_id": doc_id, "_version": version,
                 "result": "created" if version == 1 else "updated"})

    def _index_op(self, method, index, raw):
        with self.lock:
            exists = index in self.indices
            if method == "PUT" and not exists:
                self.indices[index] = {}
            if method == "DELETE" and exists:
                del self.indices[index]
        if method == "HEAD":
            return self._send(200 if exists else 404, {}, head_only=True)
        if method == "PUT":
            if exists:
                return self._error(400, "resource_already_exists_exception",
                                   f"index [{index}] already exists", index=index)
            return self._send(200, {"acknowledged": True, "shards_acknowledged": True,
                                    "index": index})
        if method == "DELETE":
            if not exists:
                return self._error(404, "index_not_found_exception", f"no such index [{index}]",
                                   index=index)
            return self._send(200, {"acknowledged": True})
        return self._error(405, "method_not_allowed", f"{method} not allowed on an index")

    def _query_op(self, method, index, op, raw):
        shards = {"total": 1, "successful": 1, "skipped": 0, "failed": 0}
        with self.lock:
            docs = self.indices.get(index)
            items = [] if docs is None else [(i, json.loads(d[0])) for i, d in docs.items()]
        if docs is None:
            return self._error(404, "index_not_found_exception", f"no such index [{index}]",
                               index=index)
        if op == "_refresh":
            return self._send(200, {"_shards": shards})
        try:
            request = json.loads(raw) if raw else {}
            query = request.get("query", {"match_all": {}})
            scored = [(score(query, src), i, src) for i, src in items]
        except (ValueError, KeyError, TypeError, AttributeError) as exc:
            return self._error(400, "parsing_exception", f"unsupported query: {exc}")
        hits = [(sc, i, src) for sc, i, src in scored if sc is not None]
        if op == "_count":
            return self._send(200, {"count": len(hits), "_shards": shards})
        if op == "_delete_by_query":
            with self.lock:
                for _, i, _ in hits:
                    self.indices[index].pop(i, None)
            return self._send(200, {"took": 0, "timed_out": False, "total": len(hits),
                                    "deleted": len(hits), "batches": 1 if hits else 0,
                                    "version_conflicts": 0, "noops": 0, "failures": []})
        hits.sort(key=lambda h: -h[0])  # stable: ties keep the order of indexing
        start, size = int(request.get("from", 0)), int(request.get("size", 10))
        page = [{"_index": index, "_id": i, "_score": sc, "_source": src}
                for sc, i, src in hits[start:start + size]]
        return self._send(200, {"took": 0, "timed_out": False, "_shards": shards, "hits": {
            "total": {"value": len(hits), "relation": "eq"},
            "max_score": max((h[0] for h in hits), default=None), "hits": page}})

    def _bulk(self, default_index, raw):
        lines = [line for line in raw.decode().split("\n") if line.strip()]
        items, errors, at = [], False, 0
        while at < len(lines):
            (action, meta), = json.loads(lines[at]).items()
            at += 1
            index, doc_id = meta.get("_index", default_index), meta.get("_id")
            if action in ("index", "create"):
                doc_id = doc_id or uuid.uuid4().hex[:20]
                status, answer = self._store(index, doc_id, lines[at].encode(),
                                             only_new=action == "create")
                at += 1
            elif action == "delete":
                with self.lock:
                    gone = self.indices.get(index, {}).pop(doc_id, None)
                status = 200 if gone else 404
                answer = {"_index": index, "_id": doc_id,
                          "result": "deleted" if gone else "not_found"}
            else:
                return self._error(400, "illegal_argument_exception", f"bulk action {action}")
            errors = errors or status >= 300
            items.append({action: {**answer, "status": status}})
        return self._send(200, {"took": 0, "errors": errors, "items": items})


    def _error(self, status, kind, reason, **more):
        cause = {"type": kind, "reason": reason, **more}
        self._send(status, {"error": {"root_cause": [cause], **cause}, "status": status})

    def _authorised(self):
        if self.credentials is None:
            return True
        header = self.headers.get("Authorization", "")
        if header.startswith("Basic "):
            try:
                user, _, password = base64.b64decode(header[6:]).decode().partition(":")
            except ValueError:
                return False
            return (user, password) == self.credentials
        return False

    def _handle(self, method):
        length = int(self.headers.get("Content-Length") or 0)
        raw = self.rfile.read(length) if length else b""
        if not self._authorised():
            return self._send(401, {"error": {"type": "security_exception",
                                              "reason": "authentication required"}, "status": 401},
                              extra=[("WWW-Authenticate", 'Basic realm="security"')])
        url = urlsplit(self.path)
        parts = [unquote(p) for p in url.path.split("/") if p]
        query = parse_qs(url.query)
        if not parts and method == "GET":
            return self._send(200, {"name": "stand-in", "version": {"distribution": "opensearch",
                                                                     "number": "2.11.0"}})
        if parts and parts[0] == "_bulk" or len(parts) == 2 and parts[1] == "_bulk":
            if method not in ("PUT", "POST"):
                return self._error(405, "method_not_allowed", f"{method} not allowed on _bulk")
            return self._bulk(parts[0] if len(parts) == 2 else None, raw)
        if len(parts) == 1 and not parts[0].startswith("_"):
            return self._index_op(method, parts[0], raw)
        if len(parts) == 2 and parts[1] in ("_search", "_count", "_delete_by_query", "_refresh"):
            return self._query_op(method, parts[0], parts[1], raw)
        if len(parts) == 3 and parts[1] == "_source" and method == "GET":
            index, doc_id = parts[0], parts[2]
            with self.lock:
                docs = self.indices.get(index)
                found = None if docs is None else docs.get(doc_id)
            if docs is None:
                return self._error(404, "index_not_found_exception", f"no such index [{index}]",
                                   index=index)
            if found is None:
                return self._error(404, "resource_not_found_exception",
                                   f"Document not found [{index}]/[{doc_id}]")
            return self._send(200, raw=found[0])
        if len(parts) in (2, 3) and parts[1] == "_doc" and method in ("PUT", "POST"):
            index = parts[0]
            doc_id = parts[2] if len(parts) == 3 else uuid.uuid4().hex[:20]
            try:
                json.loads(raw)
            except ValueError as exc:
                return self._error(400, "mapper_parsing_exception", f"failed to parse: {exc}")
            status, answer = self._store(index, doc_id, raw)
            answer["forced_refresh"] = query.get("refresh", ["false"])[0] == "true"
            return self._send(status, answer)
        if len(parts) == 3 and parts[1] == "_doc" and method in ("GET", "HEAD", "DELETE"):
            index, doc_id = parts[0], parts[2]
            with self.lock:
                docs = self.indices.get(index)
                found = None if docs is None else docs.get(doc_id)
                if method == "DELETE" and found is not None:
                    del docs[doc_id]
            if docs is None:
                return self._error(404, "index_not_found_exception", f"no such index [{index}]",
                                   index=index)
            head = {"_index": index, "_id": doc_id}
            if method == "DELETE":
                result = "deleted" if found else "not_found"
                version = found[1] + 1 if found else 1
                return self._send(200 if found else 404,
                                  {**head, "_version": version, "result": result})
            if found is None:
                return self._send(404, {**head, "found": False}, head_only=method == "HEAD")
            return self._send(200, {**head, "_version": found[1], "found": True,
                                    "_source": json.loads(found[0])}, head_only=method == "HEAD")
        return self._error(400, "illegal_argument_exception", f"no handler for {method} {url.path}")

    def do_GET(self):
        self._handle("GET")

    def do_PUT(self):
        self._handle("PUT")

    def do_POST(self):
        self._handle("POST")

    def do_HEAD(self):
        self._handle("HEAD")

    def do_DELETE(self):
        self._handle("DELETE")


def field(source, path):
    """The value at a dotted path, or None."""
    for part in path.split("."):
        if not isinstance(source, dict) or part not in source:
            return None
        source = source[part]
    return source


def words(value):
    return set(str(value).lower().split())


def score(query, source):
    """The document's score for a query, None when it does not match."""
    (kind, body), = query.items()
    if kind == "match_all":
        return 1.0
    if kind in ("term", "match", "range"):
        (path, want), = body.items()
        value = field(source, path)
        values = value if isinstance(value, list) else [value]
        if kind == "term":
            want = want["value"] if isinstance(want, dict) else want
            return 1.0 if want in values else None
        if kind == "range":
            ops = {"gt": float.__gt__, "gte": float.__ge__, "lt": float.__lt__, "lte": float.__le__}
            ok = any(v is not None and all(ops[o](float(v), float(b)) for o, b in want.items())
                     for v in values)
            return 1.0 if ok else None
        want = want["query"] if isinstance(want, dict) else want
        hit = len(words(want) & set().union(*(words(v) for v in values if v is not None)))
        return float(hit) if hit else None
    if kind == "terms":
        (path, wanted), = body.items()
        value = field(source, path)
        values = value if isinstance(value, list) else [value]
        return 1.0 if any(v in wanted for v in values) else None
    if kind == "exists":
        return 1.0 if field(source, body["field"]) is not None else None
    if kind == "bool":
        total = 0.0
        for clause in as_list(body.get("must")) + as_list(body.get("filter")):
            s = score(clause, source)
            if s is None:
                return None
            total += s if clause in as_list(body.get("must")) else 0.0
        if any(score(c, source) is not None for c in as_list(body.get("must_not"))):
            return None
        should = [score(c, source) for c in as_list(body.get("should"))]
        matched = [s for s in should if s is not None]
        if should and not matched and not (body.get("must") or body.get("filter")):
            return None
        return (total + sum(matched)) or 1.0
    raise KeyError(kind)


def as_list(value):
    return [] if value is None else value if isinstance(value, list) else [value]


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--port", type=int, default=9200)
    parser.add_argument("--user", default=None)
    parser.add_argument("--password", default=None)
    args = parser.parse_args()
    if args.user is not None:
        Handler.credentials = (args.user, args.password or "")
    serve(Handler, args.port, "OpenSearch stand-in")


if __name__ == "__main__":
    main()
