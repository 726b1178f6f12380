"""The datastore's vector-database functions against the stand-in: requests as sent, status
rules, the upsert's repair path, queries, scrolls and their de-duplication, payload updates,
document nodes, and the coroutines on the event loop."""

from __future__ import annotations

import asyncio
import json
import os
import threading
import time
import uuid

import pytest
from langchain_core.documents import Document

from mosswork_utils import _bridge, connections, datastore
from mosswork_utils.exceptions import ApplicationError

pytestmark = pytest.mark.usefixtures("vexlo")

KEY = connections.config["vexlo_api_key"]
# Text, floats and a lone surrogate that json.dumps writes in its own way.
AWKWARD = {"t": "caf\u00e9 \u6f22 \ud83d\ude00 \ud800", "f": [0.1, 1e300, -0.0, 1 / 3, 5e-324],
           "n": None, "b": True, "i": 2**70}


@pytest.fixture
def name(vexlo):
    """A fresh collection: 2-dim cosine vector "dense" and sparse vector "text"."""
    collection = vexlo.prefix + uuid.uuid4().hex[:6]
    vexlo.put(f"/collections/{collection}", {"vectors": {"dense": {"size": 2, "distance": "Cosine"}},
                                             "sparse_vectors": {"text": {}}})
    vexlo.reset()
    return collection


def sent(vexlo, method=None):
    return [r for r in vexlo.requests() if method is None or r["method"] == method]


def vexlo_headers(request):
    return [(k, v) for k, v in request["headers"] if k in ("accept", "Content-Type", "api-key")]


def point(pid, vec, sparse=None, **metadata):
    vector = {"dense": vec}
    if sparse:
        vector["text"] = {"indices": list(sparse), "values": list(sparse.values())}
    return {"id": pid, "vector": vector,
            "payload": {"page_content": f"text {pid}", "metadata": metadata}}


def run(coro):
    return asyncio.run(coro)


class TestRequests:
    CASES = [
        ("collection_exists", lambda n: datastore.collection_exists(n), "GET", "/exists", None),
        ("get_collection", lambda n: datastore.get_collection(n), "GET", "", {}),
        ("create", lambda n: datastore.create_collection(n + "x", AWKWARD, 2, 1, {"m": 1}), "PUT",
         "x", {"vectors": AWKWARD, "shard_number": 2, "replication_factor": 1,
               "optimizers_config": {"m": 1}}),
        ("create_empty_sparse", lambda n: datastore.create_collection(n + "x", {}, 1, 1, None, {}),
         "PUT", "x", {"vectors": {}, "shard_number": 1, "replication_factor": 1,
                      "optimizers_config": None}),
        ("create_sparse", lambda n: datastore.create_collection(n + "x", {}, 1, 1, {}, {"s": {}}),
         "PUT", "x", {"vectors": {}, "sparse_vectors": {"s": {}}, "shard_number": 1,
                      "replication_factor": 1, "optimizers_config": {}}),
        ("upsert", lambda n: datastore.upsert_sparse_vecotr(n, [point(1, [1, 0], x=AWKWARD)]),
         "PUT", "/points", {"points": [point(1, [1, 0], x=AWKWARD)]}),
        ("aupsert", lambda n: run(datastore.aupsert_sparse_vecotr(n, [point(1, [1, 0])])), "POST",
         "/points", {"points": [point(1, [1, 0])]}),
        ("query", lambda n: datastore.query(n, None, [0.5, 0.25], "dense", 3, 0.1, None), "POST",
         "/points/query", {"prefetch": None, "query": [0.5, 0.25], "using": "dense", "limit": 3,
                           "with_payload": True, "score_threshold": 0.1, "filter": None}),
        ("aquery", lambda n: run(datastore.aquery(n, [{"limit": 2}], AWKWARD["f"][:1], "dense",
                                                  3, None, {"must": []})), "POST",
         "/points/query", {"prefetch": [{"limit": 2}], "query": [0.1], "using": "dense",
                           "limit": 3, "with_payload": True, "score_threshold": None,
                           "filter": {"must": []}}),
        ("set_payload", lambda n: datastore.set_payload_by_key(n, "metadata", {"t": AWKWARD["t"]}),
         "POST", "/points/payload", {"payload": {"t": AWKWARD["t"]}, "key": "metadata",
                                     "points": None, "filter": None}),
        ("aset_payload", lambda n: run(datastore.aset_payload_by_key(n, None, {"a": 1}, [1], None)),
         "POST", "/points/payload", {"payload": {"a": 1}, "key": None, "points": [1],
                                     "filter": None}),
    ]

    @pytest.mark.parametrize("call,method,suffix,body", [c[1:] for c in CASES],
                             ids=[c[0] for c in CASES])
    def test_method_path_headers_and_body_byte_for_byte(self, vexlo, name, call, method, suffix,
                                                        body):
        vexlo.reset()
        try:
            call(name)
        except ApplicationError:
            pass  # a refusal by the stand-in does not change what was sent
        request = sent(vexlo)[0]  # the upsert's lone surrogate is refused and sent again
        assert (request["method"], request["path"]) == (method, f"/collections/{name}{suffix}")
        assert vexlo_headers(request) == [("accept", "application/json"),
                                          ("Content-Type", "application/json"), ("api-key", KEY)]
        assert request["body"] == (b"" if body is None else json.dumps(body).encode())

    @pytest.mark.parametrize("call", [
        lambda n: datastore.upsert_sparse_vecotr(n, [{1, 2}]),
        lambda n: datastore.query(n, None, object(), None, 1, None, None),
        lambda n: datastore.set_payload_by_key(n, "k", {"v": b"x"}),
        lambda n: datastore.recreate_collection(n, {"size": 1j}, 1, 1, None),
        lambda n: run(datastore.aquery(n, None, None, None, 1, None, {1.5j})),
        lambda n: run(datastore.aupsert_sparse_vecotr(n, [object()])),
    ])
    def test_what_json_cannot_write_is_its_type_error_before_anything_is_sent(self, vexlo, name,
                                                                              call):
        with pytest.raises(TypeError, match="is not JSON serializable"):
            call(name)
        assert sent(vexlo) == []

    @pytest.mark.parametrize("key,value,expected", [
        ("vexlo_api_key", "other-key", ("api-key", "other-key")),
        ("vexlo_host", "localhost", ("Host", f"localhost:{connections.config['vexlo_port']}")),
    ])
    def test_config_changes_take_effect_at_the_next_call(self, vexlo, name, monkeypatch, key,
                                                         value, expected):
        datastore.get_collection(name)
        monkeypatch.setitem(connections.config, key, value)
        datastore.get_collection(name)
        first, second = sent(vexlo)
        assert expected not in first["headers"] and expected in [tuple(h) for h in
                                                                 second["headers"]]

    def test_port_change_takes_effect_and_transport_errors_pass_through(self, monkeypatch):
        monkeypatch.setitem(connections.config, "vexlo_port", 1)
        with pytest.raises(ConnectionError):
            datastore.collection_exists("x")
        with pytest.raises(ConnectionError):
            run(datastore.aquery("x", None, None, None, 1, None, None))


class TestCollections:
    def test_exists_reads_the_flag(self, name):
        assert datastore.collection_exists(name) is True
        assert datastore.collection_exists(name + "_absent") is False

    @pytest.mark.parametrize("status,reason", [(404, "Not Found"), (503, "busy  right now")])
    def test_exists_refusal_is_logged_and_raised_with_the_reason_as_sent(self, vexlo, name,
                                                                         recorder, status, reason):
        vexlo.script(status, b"{}", reason)
        message = (f"Failed to check collection existence - status code: {status}, "
                   f"reason: {reason}")
        with pytest.raises(ApplicationError) as caught:
            datastore.collection_exists(name)
        assert caught.value.args == (message,)
        assert recorder.messages() == [("error", (message,))]

    def test_get_collection_gives_the_result_or_none_silently(self, name, recorder):
        assert datastore.get_collection(name)["config"]["sparse_vectors"] == {"text": {}}
        assert datastore.get_collection(name + "_absent") is None
        assert recorder.messages() == []

    def test_create_prints_the_answer_whatever_its_status(self, name, capsys):
        datastore.create_collection(name, {"size": 2, "distance": "Dot"}, 1, 1, None)
        out = capsys.readouterr().out
        assert out.endswith("\n") and out.count("\n") == 1 and "already exists" in out

    def test_recreate_deletes_then_creates(self, vexlo, name, capsys):
        for collection in (name, name + "_new"):
            datastore.recreate_collection(collection, {"size": 3, "distance": "Dot"}, 1, 1, None)
            assert '"result":true' in capsys.readouterr().out
            assert datastore.get_collection(collection)["config"]["vectors"]["size"] == 3
        writes = [(r["method"], r["body"]) for r in sent(vexlo) if r["method"] != "GET"]
        body = (b'{"vectors": {"size": 3, "distance": "Dot"}, "shard_number": 1, '
                b'"replication_factor": 1, "optimizers_config": null}')
        assert writes == [("DELETE", b""), ("PUT", body)] * 2


POINTS = [{"id": 1, "vector": {"dense": [1, 0]}, "payload": {"t": "a\ud800b", "k": ["\udfff"]}}]


class TestUpsert:
    @pytest.mark.parametrize("first,second,resent,error", [
        (b'{"status":{"error":"FORMAT ERROR in body"}}', (200, b"{}"), True, None),
        (b"Bad Json", (400, b"still refused"), True, "still refused"),
        (b"sYnTaX", (200, b"{}"), True, None),
        (b"\xff\xfe json \xc3", (200, b"{}"), True, None),
        (b"Wrong input: Not existing vector name error: x", None, False,
         "Wrong input: Not existing vector name error: x"),
    ])
    def test_repair_path(self, vexlo, name, recorder, first, second, resent, error):
        vexlo.script(400, first)
        if second:
            vexlo.script(*second)
        if error is None:
            assert datastore.upsert_sparse_vecotr(name, POINTS) is None
        else:
            with pytest.raises(ApplicationError) as caught:
                datastore.upsert_sparse_vecotr(name, POINTS)
            assert caught.value.args == (error,)
        expected_log = [("warning", ("API Error: " + first.decode("utf-8", "replace"),))]
        if resent:
            expected_log.append(("info", ("Attempting to clean data and resend request",)))
        assert recorder.messages() == expected_log
        bodies = [r["body"] for r in sent(vexlo, "PUT")]
        assert bodies == [json.dumps({"points": POINTS}).encode()] + (
            [json.dumps({"points": datastore.clean_json_data(POINTS)}).encode()] if resent else [])

    def test_lone_surrogates_refused_by_the_database_are_cleaned_and_stored(self, name, recorder):
        datastore.upsert_sparse_vecotr(name, POINTS)
        assert [m[0] for m in recorder.messages()] == ["warning", "info"]
        records, _ = datastore.vexlo_client.scroll(collection_name=name, limit=10)
        assert [r.payload for r in records] == [{"t": "a?b", "k": ["?"]}]

    def test_success_logs_nothing_and_sends_once(self, vexlo, name, recorder):
        datastore.upsert_sparse_vecotr(name, [point(7, [0, 1], chunk_id="c7")])
        assert recorder.messages() == [] and len(sent(vexlo, "PUT")) == 1

    @pytest.mark.parametrize("call", [
        lambda n: datastore.upsert_sparse_vecotr(n, [point(1, [1, 2, 3])]),
        lambda n: run(datastore.aupsert_sparse_vecotr(n, [point(1, [1, 2, 3])])),
        lambda n: datastore.set_payload_by_key(n + "_absent", "k", {}, [1]),
        lambda n: run(datastore.aset_payload_by_key(n + "_absent", "k", {}, [1], None)),
        lambda n: datastore.query(n + "_absent", None, None, None, 1, None, None),
        lambda n: run(datastore.aquery(n, None, [1, 2, 3], "dense", 1, None, None)),
    ])
    def test_refusals_raise_the_answer_text(self, name, recorder, call):
        with pytest.raises(ApplicationError) as caught:
            call(name)
        (text,) = caught.value.args
        assert json.loads(text)["status"]["error"]
        # aupsert and the payload calls log nothing; the blocking upsert only its warning
        assert all(level == "warning" for level, _ in recorder.messages())


class TestCleanJsonData:
    @pytest.mark.parametrize("data,expected", [
        ("a\ud800b\udfff", "a?b?"),
        ("caf\u00e9 \U0001f600", "caf\u00e9 \U0001f600"),
        ({"a": ["x", 1, None]}, {"a": ["x", 1, None]}),
        ({"\ud800": "\ud800", "n": [{"m": "\udc00"}]}, {"\ud800": "?", "n": [{"m": "?"}]}),
        (("\ud800",), ("\ud800",)),
        (1.5, 1.5),
    ])
    def test_cleaning(self, data, expected):
        result = datastore.clean_json_data(data)
        assert result == expected and type(result) is type(expected)
        if isinstance(data, (dict, list)):
            assert result is not data
        if isinstance(data, tuple):
            assert result is data

    def test_input_is_left_unchanged(self):
        data = {"a": ["\ud800"]}
        datastore.clean_json_data(data)
        assert data == {"a": ["\ud800"]}


class TestQuery:
    @pytest.fixture
    def ranked(self, name):
        datastore.upsert_sparse_vecotr(name, [
            point(1, [1, 0], {3: 1.0}, chunk_id="a", nested={"x": [1.5]}),
            point(2, [0.6, 0.8], {3: 2.0, 5: 1.0}, chunk_id="b"),
            point(3, [0, 1], {5: 4.0}, chunk_id="c", enabled=False),
        ])
        return name

    @pytest.mark.parametrize("args,ids_scores", [
        ((None, [1, 0], "dense", 10, None, None), [(1, 1.0), (2, 0.6), (3, 0.0)]),
        ((None, [1, 0], "dense", 2, None, None), [(1, 1.0), (2, 0.6)]),
        ((None, [1, 0], "dense", 10, 0.5, None), [(1, 1.0), (2, 0.6)]),
        ((None, {"indices": [5], "values": [1.0]}, "text", 10, None, None), [(3, 4.0), (2, 1.0)]),
        ((None, [0, 1], "dense", 10, None,
          {"must": [{"key": "metadata.chunk_id", "match": {"value": "a"}}]}), [(1, 0.0)]),
        (({"query": {"indices": [3], "values": [1.0]}, "using": "text", "limit": 10},
          [0, 1], "dense", 10, None, None), [(2, 0.8), (1, 0.0)]),
        ((None, [1, 0], "dense", 10, 2.0, None), []),
    ])
    @pytest.mark.parametrize("variant", ["query", "aquery"])
    def test_ranked_hits_as_documents(self, ranked, args, ids_scores, variant):
        if variant == "query":
            hits = datastore.query(ranked, *args)
        else:
            hits = run(datastore.aquery(ranked, *args))
        assert [(d.page_content, pytest.approx(s)) for d, s in hits] == [
            (f"text {i}", s) for i, s in ids_scores]
        stored = {1: {"chunk_id": "a", "nested": {"x": [1.5]}}, 2: {"chunk_id": "b"},
                  3: {"chunk_id": "c", "enabled": False}}
        assert [d for d, _ in hits] == [Document(page_content=f"text {i}", metadata=stored[i])
                                        for i, _ in ids_scores]
        assert all(type(d) is Document and d.model_dump() == Document(
            page_content=d.page_content, metadata=d.metadata).model_dump() for d, _ in hits)

    @pytest.mark.parametrize("body", [b'{"result": {}}', b'{"result": {"points": [{"score": 1}]}}',
                                      b'{"result": {"points": [{"payload": {"page_content": '
                                      b'"x", "metadata": {}}}]}}'])
    def test_missing_fields_are_lookup_errors(self, vexlo, name, body):
        vexlo.script(200, body)
        with pytest.raises(KeyError):
            datastore.query(name, None, None, None, 1, None, None)


class Recording:
    """Wraps the published scroll client and keeps every call's arguments and answer size."""

    def __init__(self, client):
        self.client = client
        self.calls = []

    def scroll(self, **kwargs):
        records, offset = self.client.scroll(**kwargs)
        self.calls.append((kwargs, len(records), offset))
        return records, offset


class Record:
    def __init__(self, payload):
        self.payload = payload


class Fake:
    def __init__(self, payloads):
        self.payloads = payloads

    def scroll(self, **kwargs):
        return [Record(p) for p in self.payloads], None


def rec(text, **metadata):
    return {"page_content": text, "metadata": metadata}


class TestScroll:
    def test_paging_over_130_matches(self, name, monkeypatch):
        datastore.upsert_sparse_vecotr(name, [point(i, [1, 1], chunk_id=f"c{i}", kb="k" if i %
                                                    2 else "other") for i in range(260)])
        recording = Recording(datastore.vexlo_client)
        monkeypatch.setattr(datastore, "vexlo_client", recording)
        flt = {"must": [{"key": "metadata.kb", "match": {"value": "k"}}]}
        docs = datastore.scroll_vexlo(name, flt)
        assert [(c[0]["limit"], c[1], c[0].get("offset") is not None) for c in recording.calls] \
            == [(64, 64, False), (64, 64, True), (64, 2, True)]
        assert recording.calls[-1][2] is None
        assert [d.page_content for d in docs] == [f"text {i}" for i in range(1, 260, 2)]
        assert all(d.metadata["kb_id"] == name for d in docs)
        recording.calls.clear()
        assert len(datastore.scroll_vexlo(name, flt, limit=4)) == 4
        assert [(c[0], c[1]) for c in recording.calls] == [
            ({"collection_name": name, "limit": 4, "scroll_filter": flt}, 4)]

    @pytest.mark.parametrize("payloads,expected", [
        ([rec("a", chunk_id="1"), rec("b", chunk_id="1")], [("a", "1")]),
        ([rec("a", chunk_id="1", qa_id="2"), rec("b", node_id="1")], [("a", "1"), ("a", "2")]),
        ([rec("a"), rec("b", chunk_id="", qa_id=None, tool_id=0)], []),
        ([rec("a", metric_id="m"), rec("b", tool_id="t", node_id="m")], [("a", "m"), ("b", "t")]),
        ([rec("a", node_id="n", kb_id="stale")], [("a", "n")]),
    ])
    def test_deduplication_over_one_key_space(self, monkeypatch, payloads, expected):
        monkeypatch.setattr(datastore, "vexlo_client", Fake(payloads))
        docs = datastore.scroll_vexlo("kb1", None)
        assert [(d.page_content, key) for d, (_, key) in zip(docs, expected)] == expected
        assert len(docs) == len(expected)
        assert all(d.metadata["kb_id"] == "kb1" for d in docs)
        assert all(p["metadata"]["kb_id"] == "kb1" for p in payloads)  # written into the payloads
        if len(docs) == 2 and docs[0].page_content == docs[1].page_content:
            assert docs[0].metadata is not docs[1].metadata

    @pytest.mark.parametrize("answer,error", [
        (([Record(None)], None), TypeError), (([Record({"page_content": "x"})], None), KeyError),
        ((1, 2, 3), ValueError)])
    def test_malformed_scroll_answers_fail(self, monkeypatch, answer, error):
        class Client:
            def scroll(self, **kwargs):
                return answer

        monkeypatch.setattr(datastore, "vexlo_client", Client())
        with pytest.raises(error):
            datastore.scroll_vexlo("kb", None)


class TestNodes:
    @pytest.mark.parametrize("node_id,expected", [
        ("n1", {"enabled": True, "page_content": "text 1"}),
        ("n2", {"enabled": None, "page_content": "text 5"}),
        ("absent", None),
        ("", {"enabled": False, "page_content": "text 8"}),
    ])
    def test_node_record(self, name, monkeypatch, node_id, expected):
        datastore.upsert_sparse_vecotr(name, [
            *[point(i, [1, 0], node_id="n1", chunk_id=f"c{i}", enabled=True) for i in range(1, 5)],
            point(5, [1, 0], node_id="n2"),
            point(7, [1, 0], node_id=""),  # no identifier at all: yields nothing
            point(8, [1, 0], node_id="", qa_id="q8", enabled=False),
        ])
        recording = Recording(datastore.vexlo_client)
        monkeypatch.setattr(datastore, "vexlo_client", recording)
        assert datastore.get_document_nodes_from_vs(name, node_id) == expected
        ((kwargs, _, _),) = recording.calls
        assert kwargs == {"collection_name": name, "limit": 4, "scroll_filter": {
            "must": [{"key": "metadata.node_id", "match": {"value": node_id}}]}}

    @pytest.mark.parametrize("args", [(1, "n"), ("c", None), (b"c", "n")])
    def test_non_text_is_refused_before_any_request(self, vexlo, args):
        with pytest.raises(TypeError):
            datastore.get_document_nodes_from_vs(*args)
        assert sent(vexlo) == []


def fd_count():
    return len(os.listdir("/proc/self/fd"))


def task_count():
    return len(os.listdir("/proc/self/task"))


class TestCoroutines:
    def test_nothing_happens_before_the_first_step_and_all_five_payload_arguments_are_needed(
            self, vexlo, name):
        coros = [datastore.aquery(name, None, None, None, 1, None, None),
                 datastore.aupsert_sparse_vecotr(name, []),
                 datastore.aset_payload_by_key(name, "k", {}, None, None)]
        time.sleep(0.05)
        assert sent(vexlo) == []
        for coro in coros:
            coro.close()
        with pytest.raises(TypeError):
            datastore.aset_payload_by_key("c", "k", {}, None)

    @pytest.mark.parametrize("count", [1, 100])
    def test_cancelled_queries_leave_no_transfer_or_descriptor(self, vexlo, name, count):
        async def main():
            before = fd_count()
            tasks = [asyncio.ensure_future(asyncio.gather(*[
                datastore.aquery(name, None, None, None, 1, None, None) for _ in range(count)]))]
            while len(sent(vexlo)) < min(count, 64):  # the log keeps the last 64
                await asyncio.sleep(0.02)
            await asyncio.sleep(0.2)
            tasks[0].cancel()
            with pytest.raises(asyncio.CancelledError):
                await tasks[0]
            assert _bridge.curl_active_transfers() == 0
            return before

        vexlo.mode(stall=True)
        before = run(main())
        vexlo.mode()
        assert fd_count() <= before

    def test_stalled_server_fails_by_the_time_out(self, vexlo, name, monkeypatch):
        vexlo.mode(stall=True)
        monkeypatch.setattr(datastore, "_aquery_timeout", 0.3)
        started = time.monotonic()
        with pytest.raises(TimeoutError):
            run(datastore.aquery(name, None, None, None, 1, None, None))
        assert 0.25 < time.monotonic() - started < 5

    def test_200_queries_share_the_loop_with_a_heartbeat_and_no_thread(self, vexlo, name):
        async def main():
            ticks = 0
            stop = False

            async def heartbeat():
                nonlocal ticks
                while not stop:
                    ticks += 1
                    await asyncio.sleep(0.01)

            beat = asyncio.create_task(heartbeat())
            threads, tasks = threading.active_count(), task_count()
            started = time.monotonic()
            results = await asyncio.gather(*[
                datastore.aquery(name, None, None, None, 1, None, None) for _ in range(200)])
            elapsed = time.monotonic() - started
            assert (threading.active_count(), task_count()) == (threads, tasks)
            stop = True
            await beat
            return results, ticks, elapsed

        vexlo.mode(delay=0.2)
        results, ticks, elapsed = run(main())
        assert results == [[]] * 200
        assert ticks >= 10 and elapsed < 3

    def test_blocking_calls_release_the_gil(self, vexlo, name):
        vexlo.mode(delay=0.3)
        counted = []

        def count():
            end = time.monotonic() + 0.25
            while time.monotonic() < end:
                counted.append(1)

        worker = threading.Thread(target=count)
        worker.start()
        datastore.query(name, None, None, None, 1, None, None)
        worker.join()
        assert len(counted) > 1000
