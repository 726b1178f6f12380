"""A fault-injecting HTTP proxy in front of the local S3 server, for the download tests.

Requests are forwarded byte for byte (the Host header included, so signatures still match);
object GETs can be answered with a short body, a corrupted byte, a stall after half the body, or
a slow trickle, one planned fault per GET in order; a planned callable instead runs once that
GET's answer is read from the store (to replace the object between two copies, say). HEAD
answers can be delayed and their ETag quoted more than once. Every request is counted, with the
most that were in flight at once for each path.
"""

from __future__ import annotations

import collections
import http.client
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

UPSTREAM = ("127.0.0.1", 9000)
HOP_BY_HOP = {"connection", "keep-alive", "transfer-encoding", "content-length"}


class FaultProxy:
    def __init__(self, upstream: tuple[str, int] = UPSTREAM) -> None:
        self.upstream = upstream
        self.lock = threading.Lock()
        # One entry per object GET, used in order: "short", "corrupt", "stall", "slow", None or
        # a callable.
        self.faults: collections.deque = collections.deque()
        self.stall_seconds = 5.0
        self.slow_bytes_per_second = 1 << 20
        self.head_delay = 0.0
        self.extra_etag_quotes = False
        self.requests: list[tuple[str, str]] = []
        self.in_flight: collections.Counter[str] = collections.Counter()
        self.max_in_flight: collections.Counter[str] = collections.Counter()
        self._server = ThreadingHTTPServer(("127.0.0.1", 0), _Handler)
        self._server.daemon_threads = True
        self._server.proxy = self  # type: ignore[attr-defined]
        self._thread = threading.Thread(target=self._server.serve_forever,
                                        kwargs={"poll_interval": 0.05}, daemon=True)

    @property
    def endpoint(self) -> str:
        return f"127.0.0.1:{self._server.server_address[1]}"

    def start(self) -> FaultProxy:
        self._thread.start()
        return self

    def stop(self) -> None:
        self._server.shutdown()
        self._server.server_close()
        self._thread.join(timeout=10)

    def plan(self, *faults) -> None:
        with self.lock:
            self.faults.clear()
            self.faults.extend(faults)

    def count(self, method: str) -> int:
        with self.lock:
            return sum(1 for m, _ in self.requests if m == method)

    def _next_fault(self):
        with self.lock:
            return self.faults.popleft() if self.faults else None


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, format, *args):  # noqa: A002 - the base class's name
        pass

    @property
    def proxy(self) -> FaultProxy:
        return self.server.proxy  # type: ignore[attr-defined]

    def do_HEAD(self):  # noqa: N802
        self._forward()

    def do_GET(self):  # noqa: N802
        self._forward()

    def do_PUT(self):  # noqa: N802
        self._forward()

    def do_POST(self):  # noqa: N802
        self._forward()

    def do_DELETE(self):  # noqa: N802
        self._forward()

    def _forward(self) -> None:
        proxy = self.proxy
        path = self.path.split("?", 1)[0]
        with proxy.lock:
            proxy.requests.append((self.command, path))
            proxy.in_flight[path] += 1
            proxy.max_in_flight[path] = max(proxy.max_in_flight[path], proxy.in_flight[path])
        try:
            self._exchange(proxy)
        finally:
            with proxy.lock:
                proxy.in_flight[path] -= 1

    def _exchange(self, proxy: FaultProxy) -> None:
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else None
        upstream = http.client.HTTPConnection(*proxy.upstream, timeout=60)
        try:
            upstream.putrequest(self.command, self.path, skip_host=True, skip_accept_encoding=True)
            for name, value in self.headers.items():
                upstream.putheader(name, value)
            upstream.endheaders(body)
            response = upstream.getresponse()
            payload = response.read()
            status, headers = response.status, response.getheaders()
        finally:
            upstream.close()

        if self.command == "HEAD" and proxy.head_delay:
            time.sleep(proxy.head_delay)
        fault = proxy._next_fault() if self.command == "GET" and status == 200 else None
        if callable(fault):
            fault()
            fault = None
        if fault == "short":
            payload = payload[: len(payload) // 2]
        elif fault == "corrupt":
            middle = len(payload) // 2
            payload = payload[:middle] + bytes([payload[middle] ^ 0xFF]) + payload[middle + 1:]

        self.send_response_only(status)
        declared = None
        for name, value in headers:
            lower = name.lower()
            if lower == "content-length":
                declared = value
            if lower in HOP_BY_HOP:
                continue
            if lower == "etag" and proxy.extra_etag_quotes:
                value = '""' + value.strip('"') + '""'
            self.send_header(name, value)
        # A HEAD answer declares the object's length without sending it.
        self.send_header("Content-Length",
                         declared if self.command == "HEAD" and declared else str(len(payload)))
        self.end_headers()
        if self.command == "HEAD":
            return
        if fault == "stall":
            self.wfile.write(payload[: len(payload) // 2])
            self.wfile.flush()
            time.sleep(proxy.stall_seconds)
            self.close_connection = True
            return
        if fault == "slow":
            step = 64 * 1024
            for start in range(0, len(payload), step):
                self.wfile.write(payload[start:start + step])
                self.wfile.flush()
                time.sleep(step / proxy.slow_bytes_per_second)
            return
        self.wfile.write(payload)
