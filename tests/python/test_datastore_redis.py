"""The datastore's Redis helpers against real servers: JSON values in hashes, scans, thoughts,
keys and sets, locks across processes, retry counters, the hash-read pipeline step, and the
routing of writes and reads with the master/replica pair."""

from __future__ import annotations

import asyncio
import json
import logging
import multiprocessing
import socket
import threading
import time
import uuid

import pytest
import redis as redis_py

from mosswork_utils import connections as conn
from mosswork_utils import datastore as ds
from mosswork_utils import exceptions as exc

pytestmark = pytest.mark.usefixtures("servers")

SENTINELS = [("127.0.0.1", 26379), ("127.0.0.1", 26380), ("127.0.0.1", 26381)]
WARN = logging.WARNING


@pytest.fixture
def key(raw):
    name = "dstest:" + uuid.uuid4().hex
    yield name
    for k in raw.keys(name + "*"):
        raw.delete(k)


def records(caplog):
    return [(r.levelno, r.getMessage()) for r in caplog.records if r.name.startswith("mosswork_utils")]


class TestValues:
    def test_text_is_stored_as_a_json_string_and_read_back(self, raw, key, service_log):
        ds.hset_redis_data(key, "f", "abc")
        assert raw.hget(key, "f") == b'"abc"'
        assert ds.get_redis_data(key, "f") == "abc"
        assert records(service_log) == []

    def test_stored_bytes_equal_pythons_json_dumps(self, raw, key):
        value = {"名字": "知识库", "n": [1, 2.5, None, True], "nested": {"e": "é\u2028"}, "big": 10**30}
        ds.hset_redis_data(key, "f", value)
        assert raw.hget(key, "f") == json.dumps(value, ensure_ascii=False).encode("utf-8")
        assert ds.get_redis_data(key, "f") == value

    def test_non_json_text_comes_back_as_text(self, raw, key, service_log):
        raw.hset(key, "f", "hello")
        assert ds.get_redis_data(key, "f") == "hello"
        raw.hset(key, "g", "{broken")
        assert ds.get_redis_data(key, "g") == "{broken"
        assert records(service_log) == []

    def test_json_null_is_a_value_not_the_default(self, raw, key, service_log):
        raw.hset(key, "f", "null")
        assert ds.get_redis_data(key, "f", "dflt") is None
        assert records(service_log) == []

    def test_missing_and_empty_give_the_default_with_a_warning(self, raw, key, service_log):
        raw.hset(key, "empty", "")
        assert ds.get_redis_data(key, "empty", default="d") == "d"
        assert ds.get_redis_data(key, "absent") == ""
        assert ds.get_redis_data(key + ":nohash", 7, {"x": 1}) == {"x": 1}
        assert records(service_log) == [
            (WARN, f"Get empty data form redis : name:{key}, key:empty"),
            (WARN, f"Get empty data form redis : name:{key}, key:absent"),
            (WARN, f"Get empty data form redis : name:{key}:nohash, key:7"),
        ]

    def test_names_holding_thought_default_silently(self, key, service_log):
        assert ds.get_redis_data("thought:" + key, "x", "d") == "d"
        assert ds.get_redis_data(key + "-afterthoughts", "x") == ""
        assert records(service_log) == []

    def test_invalid_utf8_reaches_the_caller(self, raw, key):
        raw.hset(key, "f", b"\xff\xfe")
        with pytest.raises(UnicodeDecodeError):
            ds.get_redis_data(key, "f")

    def test_unserialisable_value_sends_nothing(self, raw, key):
        with pytest.raises(TypeError):
            ds.hset_redis_data(key, "f", {1, 2}, 100)
        assert raw.exists(key) == 0

    def test_ttl_rules(self, raw, key):
        ds.hset_redis_data(key, "a", 1, ttl=100)
        assert 95 <= raw.ttl(key) <= 100
        ds.hset_redis_data(key, "b", 2, 0)          # no EXPIRE: the earlier one stays
        ds.hset_redis_data(key, "c", 3)
        assert 95 <= raw.ttl(key) <= 100
        ds.hset_redis_data(key, "d", 4, ttl=30)     # replaces it
        assert 25 <= raw.ttl(key) <= 30
        ds.hset_redis_data(key + ":p", "a", 1, -5)
        assert raw.ttl(key + ":p") == -1

    def test_wrong_type_passes_through(self, raw, key):
        raw.set(key, "string")
        with pytest.raises(exc.ResponseError, match="WRONGTYPE"):
            ds.hset_redis_data(key, "f", 1, 60)
        assert raw.ttl(key) == -1   # the EXPIRE was not sent after the failed HSET
        with pytest.raises(exc.ResponseError):
            ds.get_redis_data(key, "f")


class TestHashes:
    def test_getall_decodes_without_json(self, raw, key, service_log):
        ds.hset_redis_data(key, "a", {"k": "值"})
        raw.hset(key, "b", "plain")
        assert ds.getall_redis_data(key) == {"a": '{"k": "值"}', "b": "plain"}
        assert records(service_log) == []

    def test_getall_of_a_missing_hash_warns(self, key, service_log):
        assert ds.getall_redis_data(name=key) == {}
        assert records(service_log) == [(WARN, f"Get empty data form redis : name:{key}")]

    def test_hscan_walks_every_page(self, raw, key):
        # Above the listpack limit the server pages HSCAN replies (about 10 fields each).
        raw.hset(key, mapping={f"f{i}": json.dumps({"i": i}) for i in range(1500)})
        got = ds.hscan_redis_data(key, "*")
        assert len(got) == 1500 and got["f1499"] == {"i": 1499}
        got = ds.hscan_redis_data(key, "f1?")
        assert got == {f"f1{i}": {"i": 10 + i} for i in range(10)}

    def test_hscan_with_no_match_and_missing_hash(self, raw, key):
        raw.hset(key, mapping={f"f{i}": "1" for i in range(600)})
        assert ds.hscan_redis_data(key, "nothing*") == {}
        assert ds.hscan_redis_data(key + ":missing", "*") == {}

    def test_hscan_fails_on_a_non_json_value(self, raw, key):
        raw.hset(key, mapping={"a": "1", "b": "not json"})
        with pytest.raises(json.JSONDecodeError):
            ds.hscan_redis_data(key, "*")

    def test_hdel_hexists_hlen(self, raw, key):
        ds.hset_redis_data(key, "a", 1)
        ds.hset_redis_data(key, "b", 2)
        assert ds.redis_hkey_exists(key, "a") is True
        assert ds.hlen_redis_key(key) == 2
        assert ds.hdel_redis_data(key, "a") is None
        assert ds.redis_hkey_exists(key, "a") is False
        assert ds.hlen_redis_key(key) == 1
        assert ds.hlen_redis_key(key + ":missing") == 0


class TestThoughts:
    def test_thought_is_written_with_600_seconds_and_logged(self, raw, key, service_log):
        long_text = "思" * 300
        ds.set_thought(key, "step1", {"text": long_text})
        name = "thought:" + key
        dumped = json.dumps({"text": long_text}, ensure_ascii=False)
        assert raw.hget(name, "step1") == dumped.encode()
        assert 595 <= raw.ttl(name) <= 600
        assert records(service_log) == [(logging.DEBUG, f"set_thought : {name} step1 {dumped[:200]}")]

    def test_every_write_restarts_the_lifetime(self, raw, key):
        name = "thought:" + key
        ds.set_thought(key, "a", 1)
        raw.expire(name, 10)
        ds.set_thought(session_id=key, thought_key="b", thought_content=[1])
        assert 595 <= raw.ttl(name) <= 600

    def test_chunk_content_is_not_logged(self, raw, key, service_log):
        ds.set_thought(key, "k", {"chunk": "x"})
        assert raw.hget("thought:" + key, "k") == b'{"chunk": "x"}'
        assert 595 <= raw.ttl("thought:" + key) <= 600
        assert records(service_log) == []

    def test_numeric_session_id_takes_its_text_form(self, raw, key):
        sid = int(time.time() * 1e6)
        ds.set_thought(sid, "k", "v")
        try:
            assert raw.hget(f"thought:{sid}", "k") == b'"v"'
            assert ds.get_redis_data(f"thought:{sid}", "missing", None) is None
        finally:
            raw.delete(f"thought:{sid}")


class TestKeysAndSets:
    def test_delete_and_exists(self, raw, key):
        assert ds.delete_redis_key(key) == 0
        assert ds.redis_key_exists(key) is False
        for suffix, create in (("s", lambda k: raw.set(k, 1)), ("h", lambda k: raw.hset(k, "a", 1)),
                               ("z", lambda k: raw.sadd(k, 1))):
            create(key + suffix)
            assert ds.redis_key_exists(name=key + suffix) is True
            assert ds.delete_redis_key(key + suffix) == 1

    def test_keys_are_bytes_in_reply_order(self, raw, key):
        assert ds.redis_keys(key + "*") == []
        raw.set(key + ":é", 1)
        assert ds.redis_keys(key + "*") == [(key + ":é").encode()]

    def test_sets(self, raw, key):
        assert ds.redis_scard(key) == 0
        assert ds.redis_sadd(key, "a") is None
        ds.redis_sadd(key, "a")
        ds.redis_sadd(key, 5)
        assert raw.smembers(key) == {b"a", b"5"}
        assert ds.redis_scard(key) == 2
        assert ds.redis_srem(key, "a") is None
        assert ds.redis_scard(key) == 1

    def test_expire(self, raw, key):
        assert ds.redis_expire(key + ":missing", 10) is None
        raw.set(key, 1)
        ds.redis_expire(key, 50)
        assert 45 <= raw.ttl(key) <= 50


def _hold_lock(name, ready, release):
    from mosswork_utils import datastore
    lock = datastore.redis_lock(name, timeout=30)
    assert lock.acquire()
    ready.set()
    release.wait(20)
    lock.release()


class TestLock:
    def test_is_the_connections_lock_with_its_defaults(self, key):
        lock = ds.redis_lock(key)
        assert isinstance(lock, conn.Lock)
        assert lock.name == key and lock.timeout == 5.0 and lock.blocking is False

    def test_contention_across_processes(self, raw, key):
        ctx = multiprocessing.get_context("fork")
        ready, release = ctx.Event(), ctx.Event()
        p = ctx.Process(target=_hold_lock, args=(key, ready, release))
        p.start()
        try:
            assert ready.wait(10)
            mine = ds.redis_lock(key, 5)
            assert mine.acquire() is False
            assert mine.acquire(blocking=False) is False
        finally:
            release.set()
            p.join(10)
        assert p.exitcode == 0
        assert mine.acquire() is True
        mine.release()
        assert raw.exists(key) == 0

    def test_lock_expires_by_itself(self, key):
        first = ds.redis_lock(key, timeout=1)
        assert first.acquire()
        second = ds.redis_lock(key, timeout=1)
        assert second.acquire() is False
        time.sleep(1.2)
        assert second.acquire() is True
        second.release()


class TestRetryCounters:
    def test_counter_life(self, raw, key):
        tid = key.split(":")[1]
        try:
            assert ds.get_retry_count(tid) == 0
            assert ds.increment_retry_count(tid) == 1
            assert 3595 <= raw.ttl("retry_count:" + tid) <= 3600
            assert ds.increment_retry_count(task_id=tid, ttl=60) == 2
            assert 55 <= raw.ttl("retry_count:" + tid) <= 60
            assert ds.get_retry_count(tid) == 2
            assert ds.reset_retry_count(tid) is None
            assert ds.get_retry_count(tid) == 0
            assert ds.increment_retry_count(tid) == 1
            ds.increment_retry_count(tid, 1)
            time.sleep(1.2)
            assert ds.get_retry_count(tid) == 0
        finally:
            raw.delete("retry_count:" + tid)

    def test_non_positive_ttl_leaves_no_key(self, raw, key):
        tid = key.split(":")[1]
        assert ds.increment_retry_count(tid, 0) == 1
        assert raw.exists("retry_count:" + tid) == 0

    def test_non_integer_values_fail(self, raw, key):
        tid = key.split(":")[1]
        raw.set("retry_count:" + tid, "abc")
        try:
            with pytest.raises(ValueError):
                ds.get_retry_count(tid)
            with pytest.raises(exc.ResponseError, match="not an integer"):
                ds.increment_retry_count(tid)
            assert raw.get("retry_count:" + tid) == b"abc"
            # EXEC still applies the queued EXPIRE after the INCR's error.
            assert 3595 <= raw.ttl("retry_count:" + tid) <= 3600
        finally:
            raw.delete("retry_count:" + tid)


class TestHashReadStep:
    def test_name_and_fresh_reads(self, raw, key):
        step = ds.redis_hget(key, "b")
        assert step.name == f"redis_hget_{key}_b"
        assert ds.redis_hget("a", "b").name == "redis_hget_a_b"
        ds.hset_redis_data(key, "b", {"v": 1})
        assert asyncio.run(step.ainvoke("ignored")) == {"v": 1}
        ds.hset_redis_data(key, "b", {"v": 2})
        assert step.invoke(None) == {"v": 2}

    def test_default_and_warning(self, key, service_log):
        step = ds.redis_hget(key, "missing", default="none")
        assert asyncio.run(step.ainvoke({})) == "none"
        assert records(service_log) == [(WARN, f"Get empty data form redis : name:{key}, key:missing")]

    def test_inside_a_sequence(self, key):
        from langchain_core.runnables import RunnableLambda, RunnableSequence
        ds.hset_redis_data(key, "prompt", "你好")
        seq = RunnableSequence(RunnableLambda(lambda x: x + 1), ds.redis_hget(key, "prompt"),
                               RunnableLambda(lambda v: v + "!"))
        assert seq.invoke(1) == "你好!"
        assert asyncio.run(seq.ainvoke(1)) == "你好!"

    def test_does_not_block_the_event_loop(self, monkeypatch):
        # A server that answers each command after 0.3 s: the loop must keep running meanwhile.
        listener = socket.create_server(("127.0.0.1", 0))
        port = listener.getsockname()[1]
        stop = threading.Event()

        def serve():
            listener.settimeout(0.2)
            while not stop.is_set():
                try:
                    peer, _ = listener.accept()
                except TimeoutError:
                    continue
                with peer:
                    peer.settimeout(0.2)
                    while not stop.is_set():
                        try:
                            if not peer.recv(65536):
                                break
                        except TimeoutError:
                            continue
                        time.sleep(0.3)
                        peer.sendall(b"$1\r\n7\r\n")

        server = threading.Thread(target=serve, daemon=True)
        server.start()
        monkeypatch.setattr(conn, "r", conn.Redis(host="127.0.0.1", port=port, socket_timeout=5))

        async def main():
            ticks = 0

            async def ticker():
                nonlocal ticks
                while True:
                    await asyncio.sleep(0.01)
                    ticks += 1

            t = asyncio.create_task(ticker())
            value = await ds.redis_hget("slow", "f").ainvoke(None)
            t.cancel()
            return value, ticks

        try:
            value, ticks = asyncio.run(main())
        finally:
            stop.set()
            server.join(5)
            listener.close()
        assert value == 7
        assert ticks >= 10   # about 30 ticks of 10 ms while the read waited 300 ms


# ---- routing with the Sentinel master/replica pair ---------------------------------------------

def _calls(client, command):
    return client.info("commandstats").get("cmdstat_" + command, {}).get("calls", 0)


@pytest.fixture
def cluster(monkeypatch):
    sentinel = conn.Sentinel(SENTINELS, socket_timeout=5)
    master = sentinel.master_for("mymaster", socket_timeout=5, db=0)
    replica = sentinel.slave_for("mymaster", socket_timeout=5, db=0)
    monkeypatch.setattr(conn, "redis_cluster", True)
    monkeypatch.setattr(conn, "r_master", master)
    monkeypatch.setattr(conn, "r_slaver", replica)
    mhost, mport = sentinel.discover_master("mymaster")
    shost, sport = sentinel.discover_slaves("mymaster")[0]
    direct_master = redis_py.Redis(host=mhost, port=mport, socket_timeout=5)
    direct_replica = redis_py.Redis(host=shost, port=sport, socket_timeout=5)
    yield direct_master, direct_replica
    for k in direct_master.keys("dscl:*"):
        direct_master.delete(k)
    direct_master.close()
    direct_replica.close()


def _wait_replicated(master, replica, key):
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline:
        if replica.type(key) != b"none":
            return
        time.sleep(0.02)
    pytest.fail("the replica did not receive " + key)


class TestMasterReplicaRouting:
    def test_writes_go_to_the_master_and_reads_to_the_replica(self, cluster):
        master, replica = cluster
        key = "dscl:" + uuid.uuid4().hex
        before = {c: (_calls(master, c), _calls(replica, c)) for c in ("hgetall", "hlen", "hscan")}
        ds.hset_redis_data(key, "a", {"x": 1})
        assert master.hget(key, "a") == b'{"x": 1}'
        _wait_replicated(master, replica, key)
        assert ds.getall_redis_data(key) == {"a": '{"x": 1}'}
        assert ds.hlen_redis_key(key) == 1
        assert ds.hscan_redis_data(key, "*") == {"a": {"x": 1}}
        for c in ("hgetall", "hlen", "hscan"):
            assert _calls(replica, c) == before[c][1] + 1, c
            assert _calls(master, c) == before[c][0], c

    def test_master_reads_go_to_the_master(self, cluster):
        master, replica = cluster
        key = "dscl:" + uuid.uuid4().hex
        ds.hset_redis_data(key, "a", 1)
        _wait_replicated(master, replica, key)
        before = {c: (_calls(master, c), _calls(replica, c)) for c in ("hget", "hexists")}
        assert ds.get_redis_data(key, "a") == 1
        assert ds.redis_hkey_exists(key, "a") is True
        for c in ("hget", "hexists"):
            assert _calls(master, c) == before[c][0] + 1, c
            assert _calls(replica, c) == before[c][1], c

    def test_writes_to_the_replica_would_fail(self, cluster, monkeypatch):
        # Swapping the pair proves the write path really uses r_master: the replica refuses.
        monkeypatch.setattr(conn, "r_master", conn.r_slaver)
        with pytest.raises(exc.ReadOnlyError):
            ds.hset_redis_data("dscl:" + uuid.uuid4().hex, "a", 1)

    def test_missing_pair_fails_on_every_call(self, monkeypatch):
        monkeypatch.setattr(conn, "redis_cluster", True)
        monkeypatch.setattr(conn, "r_master", None)
        monkeypatch.setattr(conn, "r_slaver", None)
        with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'hget'"):
            ds.get_redis_data("x", "y")
        with pytest.raises(AttributeError):
            ds.hlen_redis_key("x")
        with pytest.raises(AttributeError):
            ds.redis_lock("x")

    def test_keys_and_retry_counters_follow_the_pair(self, cluster):
        master, replica = cluster
        key = "dscl:" + uuid.uuid4().hex
        tid = key.split(":")[1]
        commands = ("incr", "get", "sadd", "scard", "exists", "keys", "del")
        before = {c: (_calls(master, c), _calls(replica, c)) for c in commands}
        try:
            assert ds.increment_retry_count(tid) == 1
            ds.redis_sadd(key, "m")
            assert master.strlen("retry_count:" + tid) == 1
            _wait_replicated(master, replica, key)
            _wait_replicated(master, replica, "retry_count:" + tid)
            assert ds.get_retry_count(tid) == 1
            assert ds.redis_scard(key) == 1
            assert ds.redis_key_exists(key) is True
            assert ds.redis_keys(key) == [key.encode()]
            assert ds.delete_redis_key(key) == 1
        finally:
            master.delete("retry_count:" + tid)
        after = {c: (_calls(master, c), _calls(replica, c)) for c in commands}
        # Writes run on the master (and reach the replica only through replication).
        for c in ("incr", "sadd"):
            assert after[c][0] == before[c][0] + 1, c
        for c in ("get", "scard", "exists", "keys"):
            assert after[c][1] == before[c][1] + 1, c
            assert after[c][0] == before[c][0], c

    def test_lock_is_taken_on_the_master(self, cluster):
        master, _ = cluster
        key = "dscl:" + uuid.uuid4().hex
        lock = ds.redis_lock(key, timeout=5)
        assert lock.acquire()
        try:
            assert master.exists(key) == 1
        finally:
            lock.release()
