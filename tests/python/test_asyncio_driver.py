"""Native coroutines over libcurl driven by the running event loop."""

from __future__ import annotations

import asyncio
import collections.abc
import gc
import http.server
import json
import socket
import threading
import time
import urllib.request
import uuid

import pytest

from mosswork_utils import _bridge


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    seen: list[str] = []

    def _answer(self, body: bytes, status: int = 200) -> None:
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):  # noqa: N802
        self.seen.append(self.path)
        if self.path.startswith("/slow"):
            time.sleep(float(self.path.split("/")[-1]))
        self._answer(json.dumps({"path": self.path}).encode())

    def do_POST(self):  # noqa: N802
        self.seen.append(self.path)
        body = self.rfile.read(int(self.headers["Content-Length"]))
        echo = {"body": body.decode("utf-8"), "key": self.headers.get("api-key")}
        self._answer(json.dumps(echo, ensure_ascii=False).encode(), status=201)

    def log_message(self, *args):
        pass


@pytest.fixture(scope="module")
def server():
    class Server(http.server.ThreadingHTTPServer):
        request_queue_size = 1024  # the default backlog of 5 drops bursts of connections
        daemon_threads = True

    srv = Server(("127.0.0.1", 0), _Handler)
    thread = threading.Thread(target=srv.serve_forever, daemon=True)
    thread.start()
    yield f"http://127.0.0.1:{srv.server_address[1]}"
    srv.shutdown()
    srv.server_close()


@pytest.fixture
def silent_port():
    """A listener that accepts connections and never answers."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    s.listen(16)
    yield s.getsockname()[1]
    s.close()


def fetch(url, **kw):
    return _bridge.http_request("GET", url, **kw)


class TestCoroutineProtocol:
    def test_is_a_coroutine_for_asyncio(self, server):
        coro = fetch(server + "/a")
        assert isinstance(coro, collections.abc.Coroutine)
        assert asyncio.iscoroutine(coro)

        async def main():
            direct = await coro
            task = await asyncio.create_task(fetch(server + "/b"))
            waited = await asyncio.wait_for(fetch(server + "/c"), 5)
            return direct, task, waited

        direct, task, waited = asyncio.run(main())
        assert direct[0] == 200 and json.loads(direct[2]) == {"path": "/a"}
        assert json.loads(task[2])["path"] == "/b" and json.loads(waited[2])["path"] == "/c"
        assert ("Content-Type", "application/json") in direct[1]

    def test_nothing_happens_before_the_first_send(self, server):
        _Handler.seen.clear()
        coro = fetch(server + "/never")
        coro.close()
        with pytest.raises(ValueError, match="already awaited"):
            coro.send(None)
        coro2 = fetch(server + "/never2")
        with pytest.raises(TypeError, match="non-None"):
            coro2.send(1)
        coro3 = fetch(server + "/never3")
        with pytest.raises(KeyError):
            coro3.throw(KeyError("x"))
        time.sleep(0.1)
        assert not [p for p in _Handler.seen if p.startswith("/never")]

    def test_awaiting_twice_fails(self, server):
        async def main():
            coro = fetch(server + "/once")
            await coro
            with pytest.raises(ValueError):
                await coro

        asyncio.run(main())

    def test_post_body_and_headers(self, server):
        async def main():
            return await _bridge.http_request(
                "POST", server + "/p", ["api-key: k1", "Content-Type: application/json"],
                "{\"名\": 1}".encode(),
            )

        status, _, body = asyncio.run(main())
        assert status == 201
        assert json.loads(body) == {"body": "{\"名\": 1}", "key": "k1"}


class TestDriving:
    def test_many_concurrent_exchanges_each_get_their_answer(self, server):
        async def main():
            return await asyncio.gather(*(fetch(f"{server}/n/{i}") for i in range(200)))

        results = asyncio.run(main())
        assert [json.loads(r[2])["path"] for r in results] == [f"/n/{i}" for i in range(200)]

    def test_the_loop_keeps_running_while_waiting(self, server):
        async def main():
            ticks = 0

            async def ticker():
                nonlocal ticks
                while True:
                    await asyncio.sleep(0.02)
                    ticks += 1

            t = asyncio.create_task(ticker())
            await fetch(server + "/slow/0.5")
            t.cancel()
            return ticks

        assert asyncio.run(main()) >= 10

    def test_cancel_mid_exchange_leaves_nothing_running(self, silent_port):
        async def main():
            task = asyncio.create_task(fetch(f"http://127.0.0.1:{silent_port}/x"))
            await asyncio.sleep(0.1)
            assert _bridge.curl_active_transfers() == 1
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            with pytest.raises(asyncio.TimeoutError):
                await asyncio.wait_for(fetch(f"http://127.0.0.1:{silent_port}/y"), 0.1)
            return _bridge.curl_active_transfers()

        assert asyncio.run(main()) == 0

    def test_failures_raise_the_matching_errors(self, silent_port):
        async def main():
            with pytest.raises(TimeoutError):
                await fetch(f"http://127.0.0.1:{silent_port}/", timeout=0.3)
            closed = socket.socket()
            closed.bind(("127.0.0.1", 0))
            port = closed.getsockname()[1]
            closed.close()
            with pytest.raises(ConnectionError):
                await fetch(f"http://127.0.0.1:{port}/")
            with pytest.raises(ValueError):
                await fetch("notaurl://x")
            return _bridge.curl_active_transfers()

        assert asyncio.run(main()) == 0

    def test_one_driver_per_loop_released_with_it(self, server):
        gc.collect()  # loops an earlier test left to the collector, and their drivers

        async def main():
            await fetch(server + "/d")
            return len(_bridge._curl_drivers)

        assert asyncio.run(main()) == 1
        gc.collect()
        assert len(_bridge._curl_drivers) == 0

    def test_loops_in_several_threads(self, server):
        out = {}

        def run(i):
            async def main():
                rs = await asyncio.gather(*(fetch(f"{server}/t/{i}/{j}") for j in range(20)))
                return [json.loads(r[2])["path"] for r in rs]

            out[i] = asyncio.run(main())

        threads = [threading.Thread(target=run, args=(i,)) for i in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert out == {i: [f"/t/{i}/{j}" for j in range(20)] for i in range(4)}

    def test_dropped_coroutine_cancels_its_exchange(self, silent_port):
        async def main():
            coro = fetch(f"http://127.0.0.1:{silent_port}/dropped")
            fut = coro.send(None)  # started: the exchange is in flight
            assert isinstance(fut, asyncio.Future)
            assert _bridge.curl_active_transfers() == 1
            del coro
            gc.collect()
            await asyncio.sleep(0)
            return _bridge.curl_active_transfers()

        assert asyncio.run(main()) == 0


@pytest.fixture(scope="module")
def vexlo_collection(servers):
    """A three-point collection in the vector-database stand-in."""
    from mosswork_utils import connections

    base = f"http://127.0.0.1:{connections.config['vexlo_port']}"
    headers = {"api-key": connections.config["vexlo_api_key"], "Content-Type": "application/json"}
    name = "drv_" + uuid.uuid4().hex[:8]
    for path, body in (
        (f"/collections/{name}", {"vectors": {"size": 2, "distance": "Cosine"}}),
        (f"/collections/{name}/points",
         {"points": [{"id": i, "vector": [0.1, 0.2], "payload": {"i": i}} for i in (1, 2, 3)]}),
    ):
        req = urllib.request.Request(base + path, method="PUT", data=json.dumps(body).encode(),
                                     headers=headers)
        with urllib.request.urlopen(req, timeout=10):
            pass
    return name


class TestOneDriverForEveryModule:
    def test_modules_share_one_coroutine_type_and_registry(self):
        from mosswork_utils import connections

        assert connections.NativeCoroutine is _bridge.NativeCoroutine
        assert issubclass(_bridge.NativeCoroutine, collections.abc.Coroutine)
        assert connections._curl_drivers is _bridge._curl_drivers

    def test_coroutines_of_two_modules_run_on_one_driver(self, server, vexlo_collection):
        from mosswork_utils import connections

        gc.collect()
        before = _bridge.curl_live_drivers()
        cfg = connections.config
        client = connections.AsyncVexloClient(url="127.0.0.1", port=cfg["vexlo_port"],
                                              api_key=cfg["vexlo_api_key"], https=False)

        async def main():
            assert _bridge.curl_driver_id() is None
            scrolled = client.scroll(vexlo_collection, 10)
            assert type(scrolled) is _bridge.NativeCoroutine
            records, _ = await scrolled
            after_scroll = _bridge.curl_driver_id()  # made by the connections coroutine
            await fetch(server + "/shared")
            return len(records), after_scroll, _bridge.curl_driver_id(), _bridge.curl_live_drivers()

        count, after_scroll, after_fetch, live = asyncio.run(main())
        assert count == 3
        assert after_scroll is not None and after_scroll == after_fetch
        assert live == before + 1
        gc.collect()
        assert _bridge.curl_live_drivers() == before
