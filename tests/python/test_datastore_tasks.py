"""Task accounting against real servers: counts and mappings kept in one transaction, document
occupancy with its error fallbacks, the clean-up against a real Celery result backend, the
configured limits, and many processes and threads sharing one scope."""

from __future__ import annotations

import logging
import multiprocessing
import threading
import uuid

import celery
import pytest
import redis as redis_py
from celery.exceptions import TaskRevokedError

from mosswork_utils import connections as conn
from mosswork_utils import datastore as ds
from mosswork_utils import exceptions as exc

pytestmark = pytest.mark.usefixtures("servers")

ERROR, INFO = logging.ERROR, logging.INFO
ENHANCED = "pdf解析器(图片、表格增强版)"


@pytest.fixture
def scope(raw):
    name = "dstask:" + uuid.uuid4().hex
    yield name
    raw.delete(name, name + ":mappings")


def records(caplog):
    return [(r.levelno, r.getMessage()) for r in caplog.records if r.name.startswith("mosswork_utils")]


class TestCounting:
    def test_first_increment_sets_both_keys_with_expiry(self, raw, scope):
        assert ds.increment_task_count_with_doc(scope, "t1", "d1") == 1
        assert raw.smembers(scope) == {b"t1"}
        assert raw.hgetall(scope + ":mappings") == {b"t1": b"d1"}
        assert 3595 <= raw.ttl(scope) <= 3600
        assert 3595 <= raw.ttl(scope + ":mappings") <= 3600

    def test_increments_and_decrements(self, raw, scope):
        assert ds.increment_task_count_with_doc(scope, "t1", "d1") == 1
        assert ds.increment_task_count_with_doc(key=scope, task_id="t2", doc_id="d2", ttl=100) == 2
        assert raw.ttl(scope) <= 100 and raw.ttl(scope + ":mappings") <= 100
        assert ds.decrement_task_count_with_doc(scope, "t1") == 1
        assert ds.get_task_doc_mappings(scope) == {"t2": "d2"}
        assert ds.get_task_count(scope) == 1
        ttl_before = raw.ttl(scope)
        assert ds.decrement_task_count_with_doc(scope, task_id="t2") == 0
        assert raw.exists(scope, scope + ":mappings") == 0
        assert ttl_before > 0

    def test_same_task_twice_replaces_its_document(self, raw, scope):
        assert ds.increment_task_count_with_doc(scope, "t1", "d1", 50) == 1
        assert ds.increment_task_count_with_doc(scope, "t1", "d9") == 1
        assert ds.get_task_doc_mappings(scope) == {"t1": "d9"}
        assert raw.ttl(scope) > 3000 and raw.ttl(scope + ":mappings") > 3000

    def test_decrement_of_unknown_task_returns_the_count(self, scope):
        assert ds.decrement_task_count_with_doc(scope, "nobody") == 0
        ds.increment_task_count_with_doc(scope, "t1", "d1")
        assert ds.decrement_task_count_with_doc(scope, "nobody") == 1

    def test_missing_scope(self, scope, service_log):
        assert ds.get_task_count(scope) == 0
        assert ds.get_task_doc_mappings(scope) == {}
        assert records(service_log) == []

    def test_redis_errors_pass_through_and_change_nothing(self, raw, scope, monkeypatch):
        raw.set(scope, "not a set")
        with pytest.raises(exc.ResponseError, match="WRONGTYPE"):
            ds.increment_task_count_with_doc(scope, "t1", "d1")
        monkeypatch.setattr(conn, "r", conn.Redis(host="127.0.0.1", port=1, socket_timeout=1))
        with pytest.raises(exc.RedisConnectionError):
            ds.decrement_task_count_with_doc(scope, "t1")
        with pytest.raises(exc.RedisConnectionError):
            ds.get_task_count(scope)


class TestOccupancy:
    def test_shared_document_stays_occupied_until_both_end(self, scope):
        ds.increment_task_count_with_doc(scope, "t1", "doc")
        ds.increment_task_count_with_doc(scope, "t2", "doc")
        ds.increment_task_count_with_doc(scope, "t3", "other")
        assert sorted(ds.get_occupied_doc_ids(scope)) == ["doc", "doc", "other"]
        ds.decrement_task_count_with_doc(scope, "t1")
        assert ds.is_doc_occupied(scope, "doc") is True
        ds.decrement_task_count_with_doc(scope, "t2")
        assert ds.is_doc_occupied(scope, "doc") is False
        assert ds.is_doc_occupied(scope, doc_id="other") is True

    def test_comparison_is_exact(self, scope):
        ds.increment_task_count_with_doc(scope, "t1", "Doc-1")
        assert ds.is_doc_occupied(scope, "doc-1") is False
        assert ds.is_doc_occupied(scope, "Doc-1 ") is False

    def test_redis_error_reads_as_free_with_one_message(self, raw, scope, service_log):
        raw.set(scope + ":mappings", "wrong type")
        text = "WRONGTYPE Operation against a key holding the wrong kind of value"
        assert ds.get_occupied_doc_ids(scope) == []
        assert ds.is_doc_occupied(scope, "d1") is False
        assert records(service_log) == [(ERROR, "Error getting occupied doc IDs: " + text)] * 2

    def test_unreachable_server_reads_as_free(self, scope, service_log, monkeypatch):
        monkeypatch.setattr(conn, "r", conn.Redis(host="127.0.0.1", port=1, socket_timeout=1))
        assert ds.is_doc_occupied(scope, "d1") is False
        [(level, message)] = records(service_log)
        assert level == ERROR and message.startswith("Error getting occupied doc IDs: ")
        assert len(message) > len("Error getting occupied doc IDs: ")

    def test_failing_comparison_is_logged(self, scope, service_log):
        class Odd:
            def __eq__(self, other):
                raise ValueError("cannot compare")

            __hash__ = object.__hash__

            def __str__(self):
                return "odd-doc"

        ds.increment_task_count_with_doc(scope, "t1", "d1")
        assert ds.is_doc_occupied(scope, Odd()) is False
        assert records(service_log) == [(ERROR, "Error checking if doc odd-doc is occupied: cannot compare")]


@pytest.fixture
def celery_app():
    app = celery.Celery("dstest", backend="redis://127.0.0.1:6379/1")
    app.set_current()
    yield app
    app.backend.client.close()


def _store(app, state):
    tid = "dst-" + uuid.uuid4().hex
    results = {"SUCCESS": {"ok": 1}, "FAILURE": RuntimeError("boom"),
               "REVOKED": TaskRevokedError("revoked"), "STARTED": {"pid": 1}}
    app.backend.store_result(tid, results[state], state)
    return tid


class TestCleanup:
    def test_only_terminal_tasks_are_removed(self, celery_app, scope, service_log):
        tids = {s: _store(celery_app, s) for s in ("SUCCESS", "FAILURE", "REVOKED", "STARTED")}
        unknown = "dst-" + uuid.uuid4().hex
        for state, tid in tids.items():
            ds.increment_task_count_with_doc(scope, tid, "doc-" + state)
        ds.increment_task_count_with_doc(scope, unknown, "doc-unknown")
        assert celery.current_app.AsyncResult(unknown).state == "PENDING"
        assert ds.cleanup_expired_task_mappings(scope) is None
        assert ds.get_task_doc_mappings(scope) == {tids["STARTED"]: "doc-STARTED", unknown: "doc-unknown"}
        assert ds.get_task_count(scope) == 2
        assert records(service_log) == [
            (INFO, "Cleaned up expired task mapping: " + tids[s]) for s in ("SUCCESS", "FAILURE", "REVOKED")
        ]

    def test_empty_scope_does_nothing(self, celery_app, scope, service_log):
        ds.cleanup_expired_task_mappings(scope)
        assert records(service_log) == []

    def test_task_in_set_without_mapping_stays(self, celery_app, raw, scope):
        tid = _store(celery_app, "SUCCESS")
        raw.sadd(scope, tid)
        ds.cleanup_expired_task_mappings(scope)
        assert raw.smembers(scope) == {tid.encode()}

    def test_error_stops_and_keeps_earlier_removals(self, celery_app, raw, scope, service_log):
        done = _store(celery_app, "SUCCESS")
        later = _store(celery_app, "SUCCESS")
        ds.increment_task_count_with_doc(scope, done, "d1")
        raw.hset(scope + ":mappings", b"\xff", "d2")    # small hashes keep insertion order
        ds.increment_task_count_with_doc(scope, later, "d3")
        ds.cleanup_expired_task_mappings(scope)
        assert raw.hgetall(scope + ":mappings") == {b"\xff": b"d2", later.encode(): b"d3"}
        assert records(service_log) == [
            (INFO, "Cleaned up expired task mapping: " + done),
            (ERROR, "Error cleaning up expired task mappings: 'utf-8' codec can't decode byte 0xff "
                    "in position 0: invalid start byte"),
        ]

    def test_redis_error_is_logged(self, celery_app, raw, scope, service_log):
        raw.set(scope + ":mappings", "x")
        ds.cleanup_expired_task_mappings(scope)
        assert records(service_log) == [
            (ERROR, "Error cleaning up expired task mappings: "
                    "WRONGTYPE Operation against a key holding the wrong kind of value")]


class TestLimits:
    def test_defaults_and_configured_values(self, monkeypatch):
        monkeypatch.delitem(conn.config, "kb_task_limit", raising=False)
        monkeypatch.delitem(conn.config, "enhanced_pdf_task_limit", raising=False)
        assert ds.get_kb_task_limit() == 3
        assert ds.get_enhanced_pdf_task_limit() == 6
        monkeypatch.setitem(conn.config, "kb_task_limit", "5")
        monkeypatch.setitem(conn.config, "enhanced_pdf_task_limit", 9)
        assert ds.get_kb_task_limit() == 5 and type(ds.get_kb_task_limit()) is int
        assert ds.get_enhanced_pdf_task_limit() == 9

    def test_unconvertible_values_fail(self, monkeypatch):
        monkeypatch.setitem(conn.config, "kb_task_limit", "five")
        with pytest.raises(ValueError):
            ds.get_kb_task_limit()
        monkeypatch.setitem(conn.config, "enhanced_pdf_task_limit", None)
        with pytest.raises(TypeError):
            ds.get_enhanced_pdf_task_limit()

    def test_enhanced_pdf_loader_name(self):
        assert ds.is_enhanced_pdf_loader(ENHANCED) is True
        assert ds.is_enhanced_pdf_loader(loader_name=" " + ENHANCED) is False
        assert ds.is_enhanced_pdf_loader("pdf解析器") is False


PROCESSES, THREADS, TASKS = 4, 4, 30


def _worker(scope, proc, out):
    from mosswork_utils import datastore

    problems = []

    def run(thread):
        held = []
        for i in range(TASKS):
            tid = f"p{proc}-t{thread}-{i}"
            count = datastore.increment_task_count_with_doc(scope, tid, "doc-" + tid)
            held.append(tid)
            # The count includes every task this thread still holds, its own new one among them.
            if not len(held) <= count <= PROCESSES * THREADS * TASKS:
                problems.append(("inc", tid, count, len(held)))
            if i % 3 != 0:
                tid = held.pop()
                count = datastore.decrement_task_count_with_doc(scope, tid)
                if not len(held) <= count < PROCESSES * THREADS * TASKS:
                    problems.append(("dec", tid, count, len(held)))

    threads = [threading.Thread(target=run, args=(t,)) for t in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    out.put(problems)


class TestConcurrency:
    def test_processes_and_threads_share_one_scope(self, raw, scope):
        ds.get_task_count(scope)   # the parent's pool has a socket the children must not reuse
        ctx = multiprocessing.get_context("fork")
        out = ctx.Queue()
        procs = [ctx.Process(target=_worker, args=(scope, p, out)) for p in range(PROCESSES)]
        for p in procs:
            p.start()
        problems = [out.get(timeout=60) for _ in procs]
        for p in procs:
            p.join(30)
            assert p.exitcode == 0
        assert problems == [[]] * PROCESSES
        kept = {f"p{p}-t{t}-{i}" for p in range(PROCESSES) for t in range(THREADS)
                for i in range(TASKS) if i % 3 == 0}
        assert ds.get_task_count(scope) == len(kept)
        assert ds.get_task_doc_mappings(scope) == {tid: "doc-" + tid for tid in kept}
        assert {m.decode() for m in raw.smembers(scope)} == kept


SENTINELS = [("127.0.0.1", 26379), ("127.0.0.1", 26380), ("127.0.0.1", 26381)]


def _calls(client, command):
    return client.info("commandstats").get("cmdstat_" + command, {}).get("calls", 0)


class TestMasterReplicaRouting:
    def test_counts_come_from_the_master_and_listings_from_the_replica(self, monkeypatch, celery_app):
        import time

        sentinel = conn.Sentinel(SENTINELS, socket_timeout=5)
        monkeypatch.setattr(conn, "redis_cluster", True)
        monkeypatch.setattr(conn, "r_master", sentinel.master_for("mymaster", socket_timeout=5, db=0))
        monkeypatch.setattr(conn, "r_slaver", sentinel.slave_for("mymaster", socket_timeout=5, db=0))
        master = redis_py.Redis(*sentinel.discover_master("mymaster"), socket_timeout=5)
        replica = redis_py.Redis(*sentinel.discover_slaves("mymaster")[0], socket_timeout=5)
        scope = "dscl:" + uuid.uuid4().hex
        done = _store(celery_app, "SUCCESS")
        commands = ("multi", "exec", "scard", "hgetall", "hkeys", "hdel", "srem")
        before = {c: (_calls(master, c), _calls(replica, c)) for c in commands}
        try:
            assert ds.increment_task_count_with_doc(scope, done, "d1") == 1
            assert ds.increment_task_count_with_doc(scope, "t2", "d2") == 2
            deadline = time.monotonic() + 5
            while replica.hlen(scope + ":mappings") < 2 and time.monotonic() < deadline:
                time.sleep(0.02)
            assert ds.get_task_count(scope) == 2
            assert ds.get_task_doc_mappings(scope) == {done: "d1", "t2": "d2"}
            ds.cleanup_expired_task_mappings(scope)
            assert master.hexists(scope + ":mappings", done) is False
            assert master.hexists(scope + ":mappings", "t2") is True
            assert ds.decrement_task_count_with_doc(scope, "t2") == 0
            after = {c: (_calls(master, c), _calls(replica, c)) for c in commands}
        finally:
            master.delete(scope, scope + ":mappings")
            master.close()
            replica.close()
        assert after["exec"][0] >= before["exec"][0] + 4     # two increments, clean-up, decrement
        assert after["hdel"][0] >= before["hdel"][0] + 2
        for c in ("hgetall", "hkeys"):
            assert after[c][1] == before[c][1] + 1, c
            assert after[c][0] == before[c][0], c
        # SCARD inside the transactions runs on the master; the plain count on the replica.
        assert after["scard"][0] >= before["scard"][0] + 3
        assert after["scard"][1] >= before["scard"][1] + 1
