"""The metric-query cache step against the real Redis server: hits, misses, broken entries, the
exact log lines, and its use as a runnable inside a sequence, invoked and awaited."""

from __future__ import annotations

import asyncio
import json
import logging
import os
import subprocess
import sys
import uuid
from pathlib import Path

import pytest

from mosswork_utils import datastore as ds

pytestmark = pytest.mark.usefixtures("servers")

INFO, WARN, ERROR = logging.INFO, logging.WARNING, logging.ERROR
ENTRY = {
    "metric_query": [{"metric": "gmv", "dims": ["region"]}, {"metric": "orders"}],
    "metric_intents": ["trend"],
    "metric_query_metadata": {"source": "warehouse", "维度": "地区"},
    "response_type": ["chart"],
    "content_source": ["metric"],
}


@pytest.fixture
def app(raw):
    """A fresh application id and its cache key; the hash is removed afterwards."""
    app_id = "app-" + uuid.uuid4().hex[:12]
    yield app_id, "metric_query_cache:" + app_id
    raw.delete("metric_query_cache:" + app_id)


def records(caplog):
    return [(r.levelno, r.getMessage()) for r in caplog.records if r.name.startswith("mosswork_utils")]


def opening(origin, current):
    return (INFO, f"fetch_redis_cache - 原始问题: '{origin}', 当前问题: '{current}'")


class TestHits:
    def test_hit_copies_every_field_and_marks_the_state(self, raw, app, service_log):
        app_id, key = app
        raw.hset(key, "上月销售额", json.dumps(ENTRY, ensure_ascii=False))
        x = {"origin_question": "上月销售额", "question": "那华东呢", "app_id": app_id, "keep": 1}
        out = ds.fetch_redis_metric_cache.invoke(x)
        assert out is x
        assert list(x) == ["origin_question", "question", "app_id", "keep", "metric_query",
                           "metric_intents", "metric_query_metadata", "response_type",
                           "content_source", "cache_hit"]
        for field in ENTRY:
            assert x[field] == ENTRY[field]
        assert x["cache_hit"] is True and "cached_insight" not in x
        assert records(service_log) == [
            opening("上月销售额", "那华东呢"),
            (INFO, "命中缓存: 上月销售额"),
            (INFO, "缓存数据解析成功: metric_query=2, metric_intents=1"),
        ]

    def test_missing_fields_get_their_defaults_and_insight_is_reported(self, raw, app, service_log):
        app_id, key = app
        entry = {"metric_query": [1], "insight": {"content": "思考过程：先按地区汇总。"}}
        assert len(entry["insight"]["content"]) == 12
        raw.hset(key, "q", json.dumps(entry, ensure_ascii=False))
        x = ds.fetch_redis_metric_cache.invoke({"question": "q", "app_id": app_id})
        assert x["metric_intents"] == [] and x["metric_query_metadata"] == {}
        assert x["response_type"] == [] and x["content_source"] == []
        assert x["cached_insight"] == entry["insight"] and x["cache_hit"] is True
        assert records(service_log)[2:] == [
            (INFO, "缓存中包含思考过程，内容长度: 12"),
            (INFO, "缓存数据解析成功: metric_query=1, metric_intents=0"),
        ]

    def test_insight_without_content_counts_zero(self, raw, app, service_log):
        app_id, key = app
        raw.hset(key, "q", json.dumps({"insight": {}}))
        x = ds.fetch_redis_metric_cache.invoke({"question": "q", "app_id": app_id})
        assert x["cached_insight"] == {} and x["cache_hit"] is True
        assert (INFO, "缓存中包含思考过程，内容长度: 0") in records(service_log)

    def test_json_text_stored_as_a_json_string_is_decoded_twice(self, raw, app):
        # A writer that serialised the entry twice: the read gives text, which is parsed again.
        app_id, key = app
        raw.hset(key, "q", json.dumps(json.dumps(ENTRY)))
        x = ds.fetch_redis_metric_cache.invoke({"question": "q", "app_id": app_id})
        assert x["metric_query"] == ENTRY["metric_query"] and x["cache_hit"] is True

    def test_numeric_app_id_is_formatted_as_text(self, raw, service_log):
        app_id = 900000 + uuid.uuid4().int % 99999
        key = f"metric_query_cache:{app_id}"
        raw.hset(key, "q", json.dumps(ENTRY))
        try:
            assert ds.fetch_redis_metric_cache.invoke({"question": "q", "app_id": app_id})["cache_hit"]
        finally:
            raw.delete(key)


class TestMisses:
    def test_missing_hash_logs_the_key_and_reads_nothing_else(self, app, service_log, monkeypatch):
        app_id, key = app
        reads = []
        monkeypatch.setattr(ds, "get_redis_data", lambda *a, **k: reads.append(a))
        x = {"question": "q", "app_id": app_id}
        assert ds.fetch_redis_metric_cache.invoke(x) == {"question": "q", "app_id": app_id}
        assert reads == []
        assert records(service_log) == [opening("q", "q"), (INFO, "Redis key不存在: " + key)]

    def test_no_app_id_uses_the_bare_prefix_and_question_as_field(self, raw, service_log):
        key = "metric_query_cache:"
        saved = raw.hgetall(key)
        raw.delete(key)
        try:
            raw.hset(key, "q", json.dumps({"metric_query": [1, 2, 3]}))
            x = ds.fetch_redis_metric_cache.invoke({"question": "q"})
            assert x["metric_query"] == [1, 2, 3]
        finally:
            raw.delete(key)
            if saved:
                raw.hset(key, mapping=saved)

    def test_missing_field_is_a_miss(self, raw, app, service_log):
        app_id, key = app
        raw.hset(key, "other", json.dumps(ENTRY))
        x = {"origin_question": "q", "app_id": app_id}
        assert ds.fetch_redis_metric_cache.invoke(x) == {"origin_question": "q", "app_id": app_id}
        assert records(service_log) == [
            opening("q", ""),
            (WARN, f"Get empty data form redis : name:{key}, key:q"),
            (INFO, "未命中缓存: q"),
        ]

    @pytest.mark.parametrize("stored", ['""', "{}", "[]", "null", "0"])
    def test_empty_values_are_misses(self, raw, app, service_log, stored):
        app_id, key = app
        raw.hset(key, "q", stored)
        x = ds.fetch_redis_metric_cache.invoke({"question": "q", "app_id": app_id})
        assert "cache_hit" not in x
        assert records(service_log)[-1] == (INFO, "未命中缓存: q")


class TestBrokenEntries:
    def test_text_that_is_not_json_logs_the_decoding_error(self, raw, app, service_log):
        app_id, key = app
        raw.hset(key, "q", "{not json")
        x = ds.fetch_redis_metric_cache.invoke({"question": "q", "app_id": app_id})
        assert x == {"question": "q", "app_id": app_id}
        try:
            json.loads("{not json")
        except json.JSONDecodeError as e:
            expected = str(e)
        assert records(service_log)[-1] == (ERROR, "缓存数据解析失败: " + expected)

    def test_entry_that_is_not_a_map_degrades_to_a_miss(self, raw, app, service_log):
        app_id, key = app
        raw.hset(key, "q", json.dumps([1, 2]))
        x = ds.fetch_redis_metric_cache.invoke({"question": "q", "app_id": app_id})
        assert "cache_hit" not in x
        assert records(service_log)[-1] == (ERROR, "检查缓存失败: 'list' object has no attribute 'get'")

    def test_insight_without_a_map_keeps_what_was_written(self, raw, app, service_log):
        app_id, key = app
        raw.hset(key, "q", json.dumps({"metric_query": [1], "insight": "plain text"}))
        x = ds.fetch_redis_metric_cache.invoke({"question": "q", "app_id": app_id})
        # Written before the failure: the fields, the mark and the insight itself.
        assert x["metric_query"] == [1] and x["cache_hit"] is True
        assert x["cached_insight"] == "plain text"
        assert records(service_log)[-1] == (ERROR, "检查缓存失败: 'str' object has no attribute 'get'")

    def test_state_that_is_not_a_map_comes_back_unchanged(self, service_log):
        state = ["not", "a", "map"]
        assert ds.fetch_redis_metric_cache.invoke(state) is state
        assert records(service_log) == [(ERROR, "检查缓存失败: 'list' object has no attribute 'get'")]

    def test_unreachable_redis_degrades_to_a_miss(self, app, service_log, monkeypatch):
        from mosswork_utils import connections as conn
        dead = conn.Redis(host="127.0.0.1", port=1, socket_timeout=1)
        monkeypatch.setattr(conn, "r", dead)
        monkeypatch.setattr(conn, "r_master", dead)
        app_id, _ = app
        x = {"question": "q", "app_id": app_id}
        assert ds.fetch_redis_metric_cache.invoke(x) is x and x == {"question": "q", "app_id": app_id}
        level, message = records(service_log)[-1]
        assert level == ERROR and message.startswith("检查缓存失败: ")


class TestAsRunnable:
    def test_inside_a_sequence_invoked_and_awaited(self, raw, app):
        from langchain_core.runnables import RunnableLambda, RunnableSequence
        app_id, key = app
        raw.hset(key, "q", json.dumps(ENTRY))
        seq = RunnableSequence(
            RunnableLambda(lambda q: {"question": q, "app_id": app_id}),
            ds.fetch_redis_metric_cache,
            RunnableLambda(lambda x: (x.get("cache_hit", False), len(x.get("metric_query", [])))),
        )
        assert seq.invoke("q") == (True, 2)
        assert seq.invoke("unknown") == (False, 0)
        assert asyncio.run(seq.ainvoke("q")) == (True, 2)

    def test_concurrent_awaits_each_get_their_own_state(self, raw, app):
        app_id, key = app
        for i in range(20):
            raw.hset(key, f"q{i}", json.dumps({"metric_query": list(range(i))}))

        async def main():
            states = [{"question": f"q{i}", "app_id": app_id} for i in range(20)]
            results = await asyncio.gather(*(ds.fetch_redis_metric_cache.ainvoke(s) for s in states))
            return states, results

        states, results = asyncio.run(main())
        for i, (state, result) in enumerate(zip(states, results)):
            assert result is state and result["metric_query"] == list(range(i))


# The child imports the same build of the package as this process.
CHILD_ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(
    [str(Path(ds.__file__).resolve().parents[1])]
    + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]))
LAZY_CHILD = """
import sys
import mosswork_utils.datastore as ds
eager = [m for m in ("langsmith", "langchain_core.runnables") if m in sys.modules]
listed = "fetch_redis_metric_cache" in dir(ds)
from mosswork_utils.datastore import fetch_redis_metric_cache
from langchain_core.runnables import Runnable
print("RESULT", eager, listed, isinstance(fetch_redis_metric_cache, Runnable),
      fetch_redis_metric_cache.name, fetch_redis_metric_cache is ds.fetch_redis_metric_cache)
"""


class TestImport:
    def test_langchain_is_imported_only_when_the_runnable_is_asked_for(self):
        run = subprocess.run([sys.executable, "-c", LAZY_CHILD], capture_output=True, text=True,
                             timeout=120, env=CHILD_ENV)
        result = [line for line in run.stdout.splitlines() if line.startswith("RESULT ")]
        assert result == ["RESULT [] True True fetch_redis_metric_cache True"], run.stdout + run.stderr
