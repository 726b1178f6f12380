"""The Redis clients of connections against real servers: replies, transactions, the pool under
threads and forks, time-outs, locks across processes, and Sentinel failover."""

from __future__ import annotations

import os
import signal
import socket
import threading
import time
import uuid

import pytest
from redis._parsers.encoders import Encoder

from mosswork_utils import connections as conn
from mosswork_utils import datastore as ds
from mosswork_utils import exceptions as exc

from sentinel_set import force_failover, wait_for_master_change

pytestmark = pytest.mark.usefixtures("servers")

SENTINELS = [("127.0.0.1", 26379), ("127.0.0.1", 26380), ("127.0.0.1", 26381)]

# Argument values and what redis-py's own encoder makes of them: the bytes sent, or the text of
# its DataError.
ENCODED = [b"a\x00\xff", bytearray(b"ba\xff"), memoryview(b"mv\x00"), memoryview(b"abcdef")[::2],
           "值", 10**20, -7, 0.1, 1e300, True, None, [1], {"a": 1}]


def redis_py_encoding(value):
    try:
        return bytes(Encoder("utf-8", "strict", False).encode(value))
    except Exception as e:  # redis-py's DataError
        assert type(e).__name__ == "DataError"
        return str(e)


# Two writers of one argument: the connections client and a datastore function; each with the
# read-back of what it stored.
WRITERS = {
    "connections.r.set": (lambda k, v: conn.r.set(k, v), lambda k: conn.r.get(k)),
    "datastore.redis_sadd": (lambda k, v: ds.redis_sadd(k, v),
                             lambda k: next(iter(conn.r.smembers(k)), None)),
}


@pytest.fixture
def r():
    client = conn.Redis(host="127.0.0.1", port=6379, socket_timeout=5)
    yield client


@pytest.fixture
def key():
    return "test:" + uuid.uuid4().hex


class TestReplies:
    def test_types_as_redis_py_returns_them(self, r, key):
        assert r.ping() is True
        assert r.set(key, "值") is True
        assert r.get(key) == "值".encode()
        assert r.execute_command("GET", key + ":absent") is None
        assert r.execute_command("STRLEN", key) == 3
        assert r.set(key, "x", nx=True) is None
        assert r.hset(key + ":h", mapping={"a": 1, "b": 2.5, b"c\x00": b"\xff"}) == 3
        assert r.hgetall(key + ":h") == {b"a": b"1", b"b": b"2.5", b"c\x00": b"\xff"}
        cursor, fields = r.hscan(key + ":h", 0, match="*")
        assert cursor == 0 and fields[b"a"] == b"1"
        assert r.expire(key, 100) is True and r.expire(key + ":absent", 1) is False
        assert r.sadd(key + ":s", "a", "b", "a") == 2
        assert r.smembers(key + ":s") == {b"a", b"b"}
        assert sorted(r.keys(key + "*")) == [key.encode(), (key + ":h").encode(), (key + ":s").encode()]
        assert r.execute_command("TYPE", key) == b"string"
        assert r.delete(key, key + ":h", key + ":s") == 3

    def test_argument_encoding(self, r, key):
        r.set(key, 10**20)
        assert r.get(key) == b"100000000000000000000"
        r.set(key, 0.1)
        assert r.get(key) == b"0.1"
        for bad in (None, True, [1], {"a": 1}):
            with pytest.raises(exc.DataError):
                r.set(key, bad)
        with pytest.raises(UnicodeEncodeError):
            r.set(key, "\ud800")

    @pytest.mark.parametrize("writer", WRITERS)
    @pytest.mark.parametrize("value", ENCODED, ids=lambda v: type(v).__name__)
    def test_encoding_is_redis_pys_in_both_modules(self, key, writer, value):
        write, read = WRITERS[writer]
        want = redis_py_encoding(value)
        try:
            if isinstance(want, bytes):
                write(key, value)
                assert read(key) == want
            else:
                with pytest.raises(exc.DataError) as info:
                    write(key, value)
                assert str(info.value) == want
                assert read(key) is None  # nothing was sent
        finally:
            conn.r.delete(key)

    def test_error_replies_keep_redis_py_classes(self, r, key):
        r.set(key, "v")
        with pytest.raises(exc.ResponseError, match="^WRONGTYPE Operation against a key"):
            r.hget(key, "f")
        with pytest.raises(exc.ResponseError) as info:
            r.execute_command("NOSUCHCOMMAND")
        assert str(info.value).startswith("unknown command")
        assert isinstance(info.value, exc.RedisError)
        assert r.ping() is True  # an error reply leaves the connection usable


class TestTransactions:
    def test_one_exchange_with_every_result(self, r, key):
        p = r.pipeline(transaction=True)
        p.incr(key).incr(key, 5).expire(key, 60).get(key).execute_command("TTL", key)
        assert len(p) == 5
        assert p.execute() == [1, 6, True, b"6", 60]
        assert len(p) == 0 and p.execute() == []

    def test_a_failing_command_inside_exec(self, r, key):
        r.set(key, "text")
        p = r.pipeline()
        p.incr(key + ":n").hget(key, "x").incr(key + ":n")
        with pytest.raises(exc.ResponseError, match="WRONGTYPE"):
            p.execute()
        assert r.get(key + ":n") == b"2"  # the transaction was applied around the failure
        p.incr(key + ":n").hget(key, "x")
        results = p.execute(raise_on_error=False)
        assert results[0] == 3 and isinstance(results[1], exc.ResponseError)

    def test_a_refused_command_applies_nothing(self, r, key):
        p = r.pipeline()
        p.set(key, "1").execute_command("SET", key)  # wrong number of arguments
        with pytest.raises(exc.ResponseError):
            p.execute()
        assert r.get(key) is None


class TestPool:
    def test_exhausted_pool_fails_at_once_and_recovers(self, key):
        small = conn.Redis(host="127.0.0.1", port=6379, max_connections=2, socket_timeout=5)
        started = threading.Barrier(3)

        def hold():
            started.wait()
            small.execute_command("BLPOP", key, 1)

        threads = [threading.Thread(target=hold) for _ in range(2)]
        for t in threads:
            t.start()
        started.wait()
        time.sleep(0.2)
        t0 = time.monotonic()
        with pytest.raises(exc.RedisConnectionError, match="Too many connections"):
            small.ping()
        assert time.monotonic() - t0 < 0.5
        for t in threads:
            t.join()
        assert small.ping() is True
        assert small.connection_counts()[0] <= 2

    def test_threads_get_their_own_replies_with_the_gil_released(self, r, key):
        errors = []
        ticks = 0

        def work(i):
            try:
                for j in range(300):
                    v = f"{i}:{j}"
                    assert r.execute_command("ECHO", v) == v.encode()
            except Exception as e:  # reported below
                errors.append(e)

        blocker = threading.Thread(target=lambda: r.execute_command("BLPOP", key, 1))
        blocker.start()
        deadline = time.monotonic() + 0.5
        while time.monotonic() < deadline:
            ticks += 1  # runs only if the blocked thread released the GIL
        threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        blocker.join()
        assert errors == [] and ticks > 1000

    def test_fork_children_never_share_the_parents_sockets(self, r, key):
        r.ping()  # the parent has a pooled connection before the fork
        pids = []
        for c in range(3):
            pid = os.fork()
            if pid == 0:  # child: its own connections, every reply its own
                code = 0
                try:
                    for j in range(1000):
                        v = f"child{c}:{j}"
                        if r.execute_command("ECHO", v) != v.encode():
                            code = 1
                            break
                except BaseException:
                    code = 2
                os._exit(code)
            pids.append(pid)
        for j in range(1000):
            v = f"parent:{j}"
            assert r.execute_command("ECHO", v) == v.encode()
        assert [os.waitpid(p, 0)[1] for p in pids] == [0, 0, 0]
        assert r.ping() is True

    def test_timed_out_command_leaves_the_pool_clean(self, key):
        client = conn.Redis(host="127.0.0.1", port=6379, socket_timeout=0.3, max_connections=1)
        with pytest.raises(exc.RedisTimeoutError):
            client.execute_command("BLPOP", key, 2)  # the reply would come after 2 s
        # The interrupted connection was dropped: the next command is not fed the late reply.
        client.execute_command("RPUSH", key, "late")
        assert client.execute_command("LPOP", key) == b"late"
        assert client.connection_counts()[0] == 1

    def test_silent_server_fails_within_the_socket_time_out(self):
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(8)
        try:
            client = conn.Redis(host="127.0.0.1", port=listener.getsockname()[1], socket_timeout=0.5)
            t0 = time.monotonic()
            with pytest.raises(exc.RedisTimeoutError):
                client.ping()
            assert time.monotonic() - t0 < 2.0
        finally:
            listener.close()

    def test_refused_connection(self):
        s = socket.socket()
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
        s.close()
        with pytest.raises(exc.RedisConnectionError):
            conn.Redis(host="127.0.0.1", port=port, socket_timeout=1).ping()

    def test_missing_host_fails_at_first_use(self):
        client = conn.Redis(host=None, port=6379)
        with pytest.raises(exc.RedisConnectionError, match="not configured"):
            client.ping()


class TestLocks:
    def test_contention_and_expiry_across_processes(self, r, key):
        holder = r.lock(key, timeout=1.0, blocking=False)
        assert holder.acquire() is True
        read_end, write_end = os.pipe()
        pid = os.fork()
        if pid == 0:
            other = r.lock(key, timeout=5, blocking=False)
            first = other.acquire()
            time.sleep(1.3)  # the holder's key lapses
            second = other.acquire()
            other.release()
            os.write(write_end, f"{int(first)}{int(second)}".encode())
            os._exit(0)
        os.close(write_end)
        assert os.read(read_end, 2) == b"01"
        os.waitpid(pid, 0)
        with pytest.raises(exc.LockNotOwnedError, match="no longer owned"):
            holder.release()

    def test_only_the_holder_releases(self, r, key):
        a = r.lock(key, timeout=10)
        b = r.lock(key, timeout=10, blocking=False)
        assert a.acquire(blocking=False)
        assert not b.acquire()
        with pytest.raises(exc.LockError, match="already unlocked"):
            b.release()
        assert a.owned() and a.locked() and not b.owned()
        a.release()
        assert not a.locked()

    def test_blocking_acquire_and_context_manager(self, r, key):
        a = r.lock(key, timeout=0.5)
        a.acquire()
        t0 = time.monotonic()
        with r.lock(key, timeout=5, blocking_timeout=3) as b:
            assert b.owned()
            assert time.monotonic() - t0 >= 0.3  # it waited for the first key to lapse
        assert r.get(key) is None
        with pytest.raises(exc.LockError, match="Unable to acquire"):
            a.acquire()
            with r.lock(key, blocking_timeout=0.2):
                pass
        a.release()


class TestSentinel:
    def test_master_and_replica_clients(self, key):
        s = conn.Sentinel(SENTINELS, socket_timeout=5)
        master = s.master_for("mymaster", socket_timeout=5, db=0, username="default", password="")
        replica = s.slave_for("mymaster", socket_timeout=5, db=0, username="default", password="")
        assert master.set(key, "m") is True
        deadline = time.monotonic() + 5
        while replica.get(key) != b"m" and time.monotonic() < deadline:
            time.sleep(0.05)
        assert replica.get(key) == b"m"
        with pytest.raises(exc.ReadOnlyError):
            replica.set(key, "r")
        assert s.discover_slaves("mymaster")

    def test_a_dead_sentinel_is_skipped(self):
        dead = socket.socket()
        dead.bind(("127.0.0.1", 0))
        port = dead.getsockname()[1]
        dead.close()
        s = conn.Sentinel([("127.0.0.1", port)] + SENTINELS, socket_timeout=1)
        assert s.discover_master("mymaster")[1] in (6380, 6381)

    def test_failover_reaches_the_new_master(self, servers, key):
        s = conn.Sentinel(SENTINELS, socket_timeout=5)
        master = s.master_for("mymaster", socket_timeout=5, max_connections=4)
        try:
            for round_ in range(2):
                old = s.discover_master("mymaster")
                assert master.set(key, f"before{round_}") is True
                force_failover()
                wait_for_master_change(s, old)
                # The first command may meet the demoted master; within a bounded time, writes
                # land on the new one. Asked again each time: a failover that times out under
                # load is undone, and the sentinels then name the master that holds the writes.
                deadline = time.monotonic() + 30
                while True:
                    try:
                        master.set(key, f"after{round_}")
                        new = s.discover_master("mymaster")
                        direct = conn.Redis(host=new[0], port=new[1], socket_timeout=5)
                        if direct.get(key) == f"after{round_}".encode():
                            break
                    except (exc.RedisConnectionError, exc.ReadOnlyError):
                        pass
                    assert time.monotonic() < deadline, "writes never reached the new master"
                    time.sleep(0.2)
                assert master.connection_counts()[0] <= 4
            assert master.ping() is True
        finally:
            servers("sentinel")  # back to the start state for other tests
