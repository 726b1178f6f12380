"""A TCP proxy in front of a local server that injects faults at the byte level, for the tests of
faults under load.

Modes, switched at any time (connections already open follow the new mode from their next
chunk of data):
- "pass": bytes flow both ways unchanged;
- "blackhole": connections are accepted and what the client sends is read, but nothing is
  forwarded and nothing comes back;
- "reset": the request is forwarded, the first `cut_bytes` of the answers since the switch
  are delivered, then the client's connection is reset (RST, not FIN).
"""

from __future__ import annotations

import select
import socket
import struct
import threading


class TcpFaultProxy:
    def __init__(self, upstream: tuple[str, int]) -> None:
        self.upstream = upstream
        self.mode = "pass"
        self.cut_bytes = 1024
        self.accepted = 0
        self._listener = socket.create_server(("127.0.0.1", 0), backlog=1024)
        self._closing = False
        self._sockets: set[socket.socket] = set()
        self._lock = threading.Lock()
        self._thread = threading.Thread(target=self._accept, daemon=True)

    @property
    def port(self) -> int:
        return self._listener.getsockname()[1]

    def start(self) -> TcpFaultProxy:
        self._thread.start()
        return self

    def stop(self) -> None:
        self._closing = True
        self._listener.close()
        with self._lock:
            for s in list(self._sockets):
                _reset(s)

    def _track(self, s: socket.socket) -> None:
        with self._lock:
            self._sockets.add(s)

    def _accept(self) -> None:
        while not self._closing:
            try:
                client, _ = self._listener.accept()
            except OSError:
                return
            self.accepted += 1
            self._track(client)
            threading.Thread(target=self._serve, args=(client,), daemon=True).start()

    def _serve(self, client: socket.socket) -> None:
        # One thread a connection, both directions: a reset must come from the socket's only
        # user, or the close waits for a receive blocked in another thread.
        try:
            upstream = socket.create_connection(self.upstream)
        except OSError:
            _reset(client)
            return
        self._track(upstream)
        sent = 0
        try:
            while True:
                ready, _, _ = select.select([client, upstream], [], [])
                if client in ready:
                    data = client.recv(65536)
                    if not data:
                        return
                    if self.mode != "blackhole":
                        upstream.sendall(data)
                if upstream in ready:
                    data = upstream.recv(65536)
                    if not data:
                        return
                    if self.mode == "blackhole":
                        continue
                    if self.mode != "reset":
                        sent = 0
                        client.sendall(data)
                        continue
                    room = max(0, self.cut_bytes - sent)
                    client.sendall(data[:room])
                    sent += min(room, len(data))
                    if len(data) > room:
                        _reset(client)
                        return
        except OSError:
            pass
        finally:
            _close(client)
            _close(upstream)


def _reset(s: socket.socket) -> None:
    try:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    except OSError:
        pass
    _close(s)


def _close(s: socket.socket) -> None:
    try:
        s.close()
    except OSError:
        pass
