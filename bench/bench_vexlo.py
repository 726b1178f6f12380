"""The datastore's vector-database calls against what a user would otherwise write, on the same
data in one run, against the vector-database stand-in (127.0.0.1:6333, scripts/servers):

- upsert of 1,000 points (1,024-float dense and 200-entry sparse vectors, Chinese payloads):
  `upsert_sparse_vecotr` against `requests.put` of `json.dumps`; end-to-end time and the peak
  resident memory each adds during the call (target: 5x as fast, peak at most twice the body);
- 200 concurrent `aquery` calls, the stand-in answering each after 200 ms: against httpx's
  AsyncClient and aiohttp sending the same requests (target: all done within 0.3 s, at least 3x
  httpx's throughput, no thread created);
- `query` of 100 hits whose payloads carry 1,024-float vectors, parsed into Documents: against
  `requests` + `json.loads` + `Document` (target 3x).
    PYTHONPATH=. .venv/bin/python bench/bench_vexlo.py
"""

from __future__ import annotations

import asyncio
import json
import random
import threading
import time
import uuid

import aiohttp
import httpx
import requests
from langchain_core.documents import Document

from mosswork_utils import connections
from mosswork_utils import datastore as ds
from results import result

CFG = connections.config
BASE = f"http://{CFG['vexlo_host']}:{CFG['vexlo_port']}"
HEADERS = {"accept": "application/json", "Content-Type": "application/json",
           "api-key": CFG["vexlo_api_key"]}
PREFIX = "bench" + uuid.uuid4().hex[:8]
TEXT = "知识库把文档切成段落，每个段落都有一个向量。检索时，问题也变成向量。" * 4


def admin(path: str, body: dict) -> None:
    requests.post(BASE + "/_standin/" + path, json=body, timeout=30).raise_for_status()


def points(n: int, rng: random.Random) -> list[dict]:
    return [{"id": i, "vector": {
                "dense": [rng.uniform(-1, 1) for _ in range(1024)],
                "sparse": {"indices": sorted(rng.sample(range(100_000), 200)),
                           "values": [rng.random() for _ in range(200)]}},
             "payload": {"page_content": f"{TEXT} {i}",
                         "metadata": {"chunk_id": f"c{i}", "doc_id": "d", "enabled": True}}}
            for i in range(n)]


def create(name: str, dense: int) -> None:
    ds.recreate_collection(name, {"dense": {"size": dense, "distance": "Cosine"}}, 1, 1, {},
                           {"sparse": {}})


def rss_kib(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field):
                return int(line.split()[1])
    raise RuntimeError(field)


def peak_added(call) -> tuple[float, int]:
    """Seconds and the resident high-water mark above the start, in bytes."""
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # resets VmHWM to the current resident size
    start = rss_kib("VmRSS")
    began = time.perf_counter()
    call()
    took = time.perf_counter() - began
    return took, (rss_kib("VmHWM") - start) << 10


def best(n: int, call) -> float:
    times = []
    for _ in range(n):
        began = time.perf_counter()
        call()
        times.append(time.perf_counter() - began)
    return min(times)


def bench_upsert(rng: random.Random) -> None:
    name = PREFIX + "_upsert"
    create(name, 1024)
    batch = points(1000, rng)
    body_size = len(json.dumps({"points": batch}))

    def peer():
        r = requests.put(f"{BASE}/collections/{name}/points", data=json.dumps({"points": batch}),
                         headers=HEADERS, verify=False)
        assert r.status_code == 200, r.text

    def measured(call) -> tuple[float, int, float]:
        """Seconds, peak memory added, and the seconds the stand-in itself spent on the body
        (parsing, checking, storing: the floor no client can go under)."""
        requests.delete(BASE + "/_standin/requests", timeout=30)
        took, peak = peak_added(call)
        entries = requests.get(BASE + "/_standin/requests", timeout=60).json()["requests"]
        return took, peak, entries[-1]["seconds"]

    results = {}
    for side, call in (("ours", lambda: ds.upsert_sparse_vecotr(name, batch)), ("requests", peer)):
        runs = [measured(call) for _ in range(3)]
        results[side] = (min(t for t, _, _ in runs), max(m for _, m, _ in runs),
                         min(t - server for t, _, server in runs), min(s for _, _, s in runs))
    (ours, ours_mem, ours_client, server), (theirs, their_mem, their_client, _) = (
        results["ours"], results["requests"])
    print(f"upsert 1,000 points ({body_size / 1e6:.1f} MB body): ours {ours * 1e3:.0f} ms, "
          f"requests+json.dumps {theirs * 1e3:.0f} ms, ratio {theirs / ours:.2f}x (target 5x)")
    print(f"  of which the stand-in's own parsing and storing (Python, orjson): {server * 1e3:.0f} ms; "
          f"the clients' side alone: ours {ours_client * 1e3:.0f} ms, requests "
          f"{their_client * 1e3:.0f} ms, ratio {their_client / ours_client:.2f}x")
    print(f"  peak resident memory added: ours {ours_mem / 1e6:.1f} MB "
          f"({ours_mem / body_size:.2f}x the body), requests {their_mem / 1e6:.1f} MB "
          f"({their_mem / body_size:.2f}x) (target: ours at most 2x)")
    result("upsert_sparse_vecotr, 1,000 points", "requests + json.dumps", theirs / ours, "5x")
    result("upsert_sparse_vecotr, 1,000 points, client side", "requests + json.dumps",
           their_client / ours_client, "5x")


def query_args(name: str, rng: random.Random, limit: int) -> dict:
    return {"collection": name, "prefetch": None, "query": [rng.uniform(-1, 1) for _ in range(8)],
            "using": "dense", "limit": limit, "score_threshold": None, "filter": None}


def query_body(args: dict) -> str:
    return json.dumps({"prefetch": args["prefetch"], "query": args["query"], "using": args["using"],
                       "limit": args["limit"], "with_payload": True,
                       "score_threshold": args["score_threshold"], "filter": args["filter"]})


def bench_aquery(rng: random.Random) -> None:
    name = PREFIX + "_aquery"
    create(name, 8)
    ds.upsert_sparse_vecotr(name, [{"id": i, "vector": {"dense": [rng.uniform(-1, 1) for _ in range(8)]},
                                    "payload": {"page_content": f"chunk {i}", "metadata": {"chunk_id": f"c{i}"}}}
                                   for i in range(50)])
    args = [query_args(name, rng, 3) for _ in range(200)]
    url = f"{BASE}/collections/{name}/points/query"
    admin("reset", {"scope": "/collections/" + name})
    admin("mode", {"delay": 0.2})

    async def ours():
        return await asyncio.gather(*(ds.aquery(**a) for a in args))

    async def with_httpx():
        limits = httpx.Limits(max_connections=None, max_keepalive_connections=None)
        async with httpx.AsyncClient(verify=False, timeout=100, limits=limits) as client:
            return await asyncio.gather(*(client.post(url, content=query_body(a), headers=HEADERS)
                                          for a in args))

    async def with_aiohttp():
        connector = aiohttp.TCPConnector(limit=0, ssl=False)
        async with aiohttp.ClientSession(connector=connector) as session:
            async def one(a):
                async with session.post(url, data=query_body(a), headers=HEADERS) as r:
                    return await r.read()
            return await asyncio.gather(*(one(a) for a in args))

    try:
        threads_before = threading.active_count()
        times = {"ours": best(3, lambda: asyncio.run(ours()))}
        threads_after = threading.active_count()
        for side, run in (("httpx", with_httpx), ("aiohttp", with_aiohttp)):
            times[side] = best(3, lambda run=run: asyncio.run(run()))
    finally:
        admin("reset", {})
    print(f"200 concurrent aquery, 200 ms server delay: ours {times['ours'] * 1e3:.0f} ms "
          f"(target under 300), httpx {times['httpx'] * 1e3:.0f} ms, aiohttp "
          f"{times['aiohttp'] * 1e3:.0f} ms; ratio httpx/ours {times['httpx'] / times['ours']:.2f}x "
          f"(target 3x), aiohttp/ours {times['aiohttp'] / times['ours']:.2f}x; threads "
          f"{threads_before} before, {threads_after} after ours")
    result("200 concurrent aquery, 200 ms server", "httpx AsyncClient", times["httpx"] / times["ours"], "3x")
    result("200 concurrent aquery, 200 ms server", "aiohttp", times["aiohttp"] / times["ours"], "1x")


def bench_query(rng: random.Random) -> None:
    name = PREFIX + "_query"
    create(name, 8)
    # Small vectors to rank, large ones in the payloads: the answer is what weighs.
    ds.upsert_sparse_vecotr(name, [{"id": i, "vector": {"dense": [rng.uniform(-1, 1) for _ in range(8)]},
                                    "payload": {"page_content": f"{TEXT} {i}",
                                                "metadata": {"chunk_id": f"c{i}",
                                                             "vector": [rng.uniform(-1, 1) for _ in range(1024)]}}}
                                   for i in range(100)])
    args = query_args(name, rng, 100)
    url = f"{BASE}/collections/{name}/points/query"

    def peer():
        with requests.Session() as s:
            r = s.post(url, data=query_body(args), headers=HEADERS, verify=False)
        assert r.status_code == 200
        hits = json.loads(r.content)["result"]["points"]
        return [(Document(page_content=h["payload"]["page_content"], metadata=h["payload"]["metadata"]),
                 h["score"]) for h in hits]

    assert [d.page_content for d, _ in ds.query(**args)] == [d.page_content for d, _ in peer()]
    ours, theirs = best(5, lambda: ds.query(**args)), best(5, peer)
    print(f"query of 100 hits with 1,024-float payload vectors: ours {ours * 1e3:.1f} ms, "
          f"requests+json.loads+Document {theirs * 1e3:.1f} ms, ratio {theirs / ours:.2f}x (target 3x)")
    result("query, 100 hits into Documents", "requests + json.loads + Document", theirs / ours, "3x")


def main() -> None:
    rng = random.Random(7)
    try:
        bench_upsert(rng)
        bench_aquery(rng)
        bench_query(rng)
    finally:
        for suffix in ("_upsert", "_aquery", "_query"):
            requests.delete(f"{BASE}/collections/{PREFIX}{suffix}", headers=HEADERS)


if __name__ == "__main__":
    main()
