"""Faults met under load: a Redis that accepts and never answers, and one whose replies are cut
by a reset, while eight threads are calling. Every call fails within its time-out, none returns
a partial value, and the pool serves at full capacity again once the server is back."""

from __future__ import annotations

import threading
import time
import uuid

import pytest

from mosswork_utils import connections as conn
from mosswork_utils import exceptions as exc

from tcp_fault_proxy import TcpFaultProxy

pytestmark = [pytest.mark.usefixtures("servers"), pytest.mark.slow]

THREADS = 8
TIMEOUT = 0.5


@pytest.fixture
def proxy():
    p = TcpFaultProxy(("127.0.0.1", 6379)).start()
    yield p
    p.stop()


@pytest.fixture
def value_key():
    key = "faults:" + uuid.uuid4().hex
    value = bytes(range(256)) * 1024  # 256 KiB: a reply long enough to be cut in its middle
    conn.r.set(key, value)
    yield key, value
    conn.r.delete(key)


def hammer(call, seconds: float) -> list[tuple[float, object]]:
    """THREADS threads call for the given time; each outcome with its duration."""
    outcomes: list[tuple[float, object]] = []
    lock = threading.Lock()
    stop = time.monotonic() + seconds

    def run():
        while time.monotonic() < stop:
            start = time.monotonic()
            try:
                result: object = call()
            except Exception as e:  # every outcome is examined below
                result = e
            with lock:
                outcomes.append((time.monotonic() - start, result))

    threads = [threading.Thread(target=run) for _ in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return outcomes


@pytest.mark.parametrize("fault, error", [
    ("blackhole", exc.RedisTimeoutError),
    # A reply cut by a reset; one the busy proxy has not delivered in time is a time-out.
    ("reset", exc.RedisConnectionError),
])
def test_redis_fault_fails_each_call_in_time_and_the_pool_recovers(proxy, value_key, fault, error):
    key, value = value_key
    client = conn.Redis(host="127.0.0.1", port=proxy.port, socket_timeout=TIMEOUT,
                        max_connections=THREADS)
    assert hammer(lambda: client.get(key), 0.5)[0][1] == value

    proxy.mode = fault
    proxy.cut_bytes = 100_000
    faulty = hammer(lambda: client.get(key), 2.0)
    assert any(isinstance(r, error) for _, r in faulty)
    for took, result in faulty:
        assert isinstance(result, (exc.RedisTimeoutError, exc.RedisConnectionError)), result
        assert took < TIMEOUT + 0.5, f"a call took {took:.2f} s"

    proxy.mode = "pass"
    healthy = hammer(lambda: client.get(key), 1.0)
    # Connections broken by the fault are dropped, not handed out again.
    assert len(healthy) > THREADS and all(r == value for _, r in healthy)
    open_, idle = client.connection_counts()
    assert open_ == idle <= THREADS
