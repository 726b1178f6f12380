"""Stand-in for an OpenSearch node: document sources by id, indexing for seeding, basic
authentication on every request. Run: python opensearch_standin.py --port 9200
[--user admin --password secret]. Binds 127.0.0.1 only."""

import argparse
import base64
import json
import threading
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

    def _send(self, status, doc=None, raw=None, extra=()):
        body = raw if raw is not None else json.dumps(doc).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json; charset=UTF-8")
        self.send_header("Content-Length", str(len(body)))
        for name, value in extra:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)

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
        if len(parts) == 3 and parts[1] == "_doc" and method in ("PUT", "POST"):
            index, doc_id = parts[0], parts[2]
            try:
                json.loads(raw)
            except ValueError as exc:
                return self._error(400, "mapper_parsing_exception", f"failed to parse: {exc}")
            with self.lock:
                docs = self.indices.setdefault(index, {})
                version = docs[doc_id][1] + 1 if doc_id in docs else 1
                docs[doc_id] = (raw, version)
            result = "created" if version == 1 else "updated"
            return self._send(201 if version == 1 else 200,
                              {"_index": index, "_id": doc_id, "_version": version, "result": result,
                               "forced_refresh": query.get("refresh", ["false"])[0] == "true"})
        return self._error(400, "illegal_argument_exception", f"no handler for {method} {url.path}")

    def do_GET(self):
        self._handle("GET")

    def do_PUT(self):
        self._handle("PUT")

    def do_POST(self):
        self._handle("POST")


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
