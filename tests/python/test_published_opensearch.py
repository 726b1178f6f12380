"""The published OpenSearch against opensearch-py's own client with its default transport: the
same calls on the same stand-in, compared reply by reply, with the exceptions' classes and
texts."""

from __future__ import annotations

import os
import threading
import uuid

import opensearchpy
import pytest

from conftest import outcome
from mosswork_utils import connections as conn
from mosswork_utils import exceptions as exc


@pytest.fixture(scope="module")
def clients(opensearch_standin):
    address = f"http://admin:ferny@{opensearch_standin}"
    ours = conn.OpenSearch(address, use_ssl=False, verify_certs=False, ssl_show_warn=False)
    theirs = opensearchpy.OpenSearch(address, use_ssl=False, verify_certs=False,
                                     ssl_show_warn=False)
    return ours, theirs


def neutral(value, index):
    """The reply with the client's own index name replaced, so that both can be compared."""
    if isinstance(value, dict):
        return {k: neutral(v, index) for k, v in value.items()}
    if isinstance(value, list):
        return [neutral(v, index) for v in value]
    return value.replace(index, "INDEX") if isinstance(value, str) else value


DOCS = [{"title": "Red fox", "tags": ["animal", "red"], "n": 1},
        {"title": "Blue whale and red coral", "tags": ["animal", "sea"], "n": 2},
        {"title": "Quick brown fox jumps", "tags": ["animal"], "n": 3},
        {"title": "全文 検索", "tags": ["text"], "n": 4}]


def seed(c, i):
    lines = []
    for n, doc in enumerate(DOCS):
        lines += [{"index": {"_index": i, "_id": f"d{n}"}}, doc]
    return c.bulk(body=lines, refresh=True)


# Each family is a list of calls run in order on a fresh index of each client.
FAMILIES = {
    "indices": [
        lambda c, i: c.indices.exists(index=i),
        lambda c, i: c.indices.create(index=i, body={"mappings": {}}),
        lambda c, i: c.indices.exists(index=i),
        lambda c, i: c.indices.create(index=i),  # already there: RequestError
        lambda c, i: c.indices.refresh(index=i),
        lambda c, i: c.indices.delete(index=i),
        lambda c, i: c.indices.exists(index=i),
        lambda c, i: c.indices.delete(index=i),  # NotFoundError
        lambda c, i: c.indices.refresh(index=i),
    ],
    "documents": [
        lambda c, i: c.index(index=i, body={"a": 1, "t": "é"}, id="x", refresh=True),
        lambda c, i: c.index(index=i, body={"a": 2}, id="x"),
        lambda c, i: c.get(index=i, id="x"),
        lambda c, i: c.get_source(index=i, id="x"),  # the native path on ours
        lambda c, i: c.get_source(index=i, id="x", _source_includes="a"),
        lambda c, i: c.get_source(index=i, id="absent"),
        lambda c, i: c.get_source(index=i + "-none", id="x"),
        lambda c, i: c.get(index=i, id="absent"),
        lambda c, i: c.exists(index=i, id="x"),
        lambda c, i: c.exists(index=i, id="absent"),
        lambda c, i: c.delete(index=i, id="x"),
        lambda c, i: c.delete(index=i, id="x"),
        lambda c, i: sorted(c.index(index=i, body={"auto": True}))  # the id is the server's
    ],
    "search": [
        seed,
        lambda c, i: c.search(index=i, body={"query": {"match_all": {}}}),
        lambda c, i: c.search(index=i, body={"query": {"match": {"title": "red fox"}}}),
        lambda c, i: c.search(index=i, body={"query": {"term": {"tags": "sea"}}, "size": 1}),
        lambda c, i: c.search(index=i, body={"query": {"bool": {
            "must": [{"match": {"title": "fox"}}], "must_not": [{"term": {"n": 3}}]}}}),
        lambda c, i: c.search(index=i, body={"query": {"range": {"n": {"gte": 2}}}},
                              size=2, from_=1),
        lambda c, i: c.search(index=i, body={"query": {"match": {"title": "検索"}}}),
        lambda c, i: c.search(index=i, body={"query": {"nonsense": {}}}),  # RequestError
        lambda c, i: c.count(index=i),
        lambda c, i: c.count(index=i, body={"query": {"terms": {"tags": ["red", "text"]}}}),
        lambda c, i: c.delete_by_query(index=i, body={"query": {"match": {"title": "fox"}}},
                                       refresh=True),
        lambda c, i: c.count(index=i),
        lambda c, i: c.search(index=i + "-none", body={"query": {"match_all": {}}}),
    ],
    "bulk": [
        lambda c, i: c.bulk(body=[{"create": {"_index": i, "_id": "1"}}, {"v": 1},
                                  {"create": {"_index": i, "_id": "1"}}, {"v": 2},
                                  {"delete": {"_index": i, "_id": "2"}}]),
        lambda c, i: c.bulk(index=i, body='{"index": {"_id": "2"}}\n{"v": 3}\n'),
        lambda c, i: c.mget(index=i, body={"ids": ["1", "2"]}),  # not served: the same refusal
        lambda c, i: c.get_source(index=i, id="2"),
    ],
}


@pytest.mark.parametrize("family", FAMILIES)
def test_calls_answer_as_the_library_does(clients, family):
    ours, theirs = clients
    index = {id(c): f"{family}-{name}-{uuid.uuid4().hex[:8]}"
             for c, name in ((ours, "ours"), (theirs, "theirs"))}
    for step, call in enumerate(FAMILIES[family]):
        got = [outcome(lambda c=c: call(c, index[id(c)])) for c in (ours, theirs)]
        (kind, mine), (want_kind, want) = got
        where = f"{family} step {step}"
        assert kind == want_kind, (where, got)
        if kind == "ok":
            assert neutral(mine, index[id(ours)]) == neutral(want, index[id(theirs)]), where
        else:
            assert type(mine).__mro__[1:].count(type(want)) == 1, (where, mine, want)
            assert neutral([str(mine), mine.status_code, mine.error, mine.info], index[id(ours)]) \
                == neutral([str(want), want.status_code, want.error, want.info],
                           index[id(theirs)]), where
            assert isinstance(mine, exc.TransportError)


@pytest.mark.parametrize("make", [
    lambda a, cls: cls(f"http://admin:wrong@{a}"),
    lambda a, cls: cls(hosts=[{"host": a.split(":")[0], "port": int(a.split(":")[1])}],
                       http_auth=("admin", "wrong")),
])
def test_refused_credentials_raise_the_same(opensearch_standin, make):
    mine, want = (outcome(lambda cls=cls: make(opensearch_standin, cls).count(index="any"))
                  for cls in (conn.OpenSearch, opensearchpy.OpenSearch))
    assert mine[0] == want[0] == "raised"
    assert isinstance(mine[1], opensearchpy.AuthenticationException)
    assert isinstance(mine[1], exc.TransportError) and str(mine[1]) == str(want[1])


def test_an_unreachable_host_is_the_library_connection_error():
    mine, want = (outcome(lambda cls=cls: cls(hosts=[{"host": "127.0.0.1", "port": 1}],
                                              max_retries=1).search(index="i"))
                  for cls in (conn.OpenSearch, opensearchpy.OpenSearch))
    assert type(want[1]) is opensearchpy.ConnectionError
    assert isinstance(mine[1], opensearchpy.ConnectionError)
    assert isinstance(mine[1], exc.SearchConnectionError) and isinstance(mine[1], ConnectionError)
    assert mine[1].status_code == "N/A" and str(mine[1]).startswith("ConnectionError(")


def test_threads_and_a_forked_child_share_the_client(clients):
    ours, _ = clients
    index = "shared-" + uuid.uuid4().hex[:8]
    seed(ours, index)
    counts, errors = [], []

    def worker():
        try:
            for _ in range(20):
                counts.append(ours.count(index=index)["count"])
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors and counts == [len(DOCS)] * 80
    pid = os.fork()
    if pid == 0:
        ok = ours.get_source(index=index, id="d0") == DOCS[0] and \
            ours.search(index=index)["hits"]["total"]["value"] == len(DOCS)
        os._exit(0 if ok else 1)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    assert ours.count(index=index)["count"] == len(DOCS)
