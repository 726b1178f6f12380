"""What every stand-in server shares: a threaded HTTP server on 127.0.0.1 that runs until
interrupted."""

from __future__ import annotations

import json
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


class JsonHandler(BaseHTTPRequestHandler):
    """A quiet keep-alive handler that answers JSON documents."""

    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def _send(self, status, doc):
        body = json.dumps(doc, ensure_ascii=False).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


class _Server(ThreadingHTTPServer):
    # Benchmarks open hundreds of connections at once; the default backlog of 5 would make
    # most of them wait for SYN retries.
    request_queue_size = 1024


def serve(handler: type[BaseHTTPRequestHandler], port: int, name: str) -> None:
    # Headers and body go out in separate writes; without this the body waits for the client's
    # delayed acknowledgement (40 ms a request).
    handler.disable_nagle_algorithm = True
    server = _Server(("127.0.0.1", port), handler)
    server.daemon_threads = True
    print(f"{name} on 127.0.0.1:{server.server_address[1]}", flush=True)
    try:
        server.serve_forever(poll_interval=0.1)
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
