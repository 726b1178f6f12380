"""The datastore's Redis helpers against the same helpers written over redis-py (with hiredis).

Both sides use the same redis-server (127.0.0.1:6379, started by scripts/servers) in one run:
a JSON value written with hset_redis_data and read back with get_redis_data, one task
increment (a five-command transaction), and hscan_redis_data over a hash of 10,000 fields.
Prints the best of three times for each and the ratio redis-py / ours.
    PYTHONPATH=. .venv/bin/python bench/bench_datastore_redis.py [--n 5000]
"""

from __future__ import annotations

import argparse
import json
import time

import redis
from redis.utils import HIREDIS_AVAILABLE

from mosswork_utils import datastore as ds
from results import result

peer = redis.Redis(host="127.0.0.1", port=6379, db=0, socket_timeout=30)


# ---- the helpers as the service would write them over redis-py -------------------------------

def py_hset_redis_data(name, key, value, ttl=-1):
    peer.hset(name, key, json.dumps(value, ensure_ascii=False))
    if ttl > 0:
        peer.expire(name, ttl)


def py_get_redis_data(name, key, default=""):
    value = peer.hget(name, key)
    if value:
        text = value.decode("utf-8")
        try:
            return json.loads(text)
        except Exception:
            return text
    return default


def py_increment_task_count_with_doc(key, task_id, doc_id, ttl=3600):
    pipe = peer.pipeline()
    pipe.sadd(key, task_id)
    pipe.hset(key + ":mappings", task_id, doc_id)
    pipe.expire(key, ttl)
    pipe.expire(key + ":mappings", ttl)
    pipe.scard(key)
    return int(pipe.execute()[4])


def py_hscan_redis_data(key, match):
    out, cursor = {}, 0
    while True:
        cursor, batch = peer.hscan(key, cursor, match)
        for field, value in batch.items():
            out[field.decode("utf-8")] = json.loads(value.decode("utf-8"))
        if cursor == 0:
            return out


VALUE = {
    "question": "知识库里关于报销流程的规定是什么？",
    "answer": "根据《财务管理制度》第三章，员工应在费用发生后30天内提交报销申请……" * 4,
    "sources": [{"doc_id": f"doc-{i}", "page": i, "score": 0.9 - i / 100,
                 "text": "Reimbursement requests need the original invoice. " * 3} for i in range(5)],
    "usage": {"prompt_tokens": 1834, "completion_tokens": 412, "total_tokens": 2246},
    "finished": True,
}


def best(fn, repeat=3):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=5000, help="calls per measurement")
    n = parser.parse_args().n
    print(f"redis-py {redis.__version__}, hiredis: {HIREDIS_AVAILABLE}; n={n}")

    def ours_values():
        for i in range(n):
            ds.hset_redis_data("bench:ds:ours", "f", VALUE)
            if ds.get_redis_data("bench:ds:ours", "f") != VALUE:
                raise AssertionError("wrong value")

    def peer_values():
        for i in range(n):
            py_hset_redis_data("bench:ds:peer", "f", VALUE)
            if py_get_redis_data("bench:ds:peer", "f") != VALUE:
                raise AssertionError("wrong value")

    def ours_tasks():
        for i in range(n):
            ds.increment_task_count_with_doc("bench:ds:tasks:ours", f"t{i % 50}", f"d{i}")

    def peer_tasks():
        for i in range(n):
            py_increment_task_count_with_doc("bench:ds:tasks:peer", f"t{i % 50}", f"d{i}")

    big = "bench:ds:big"
    peer.delete(big)
    peer.hset(big, mapping={f"field:{i}": json.dumps({"doc_id": f"d{i}", "chunks": i, "名": "文档"},
                                                     ensure_ascii=False) for i in range(10000)})
    expected = py_hscan_redis_data(big, "*")
    if len(expected) != 10000 or ds.hscan_redis_data(big, "*") != expected:
        raise AssertionError("the scans disagree")

    cases = [
        ("hset_redis_data + get_redis_data", ours_values, peer_values),
        ("increment_task_count_with_doc", ours_tasks, peer_tasks),
        ("hscan_redis_data, 10,000 fields (x20)",
         lambda: [ds.hscan_redis_data(big, "*") for _ in range(20)],
         lambda: [py_hscan_redis_data(big, "*") for _ in range(20)]),
    ]
    for label, ours, theirs in cases:
        ours()  # warm both pools
        theirs()
        t_ours, t_peer = best(ours), best(theirs)
        print(f"{label:40s} ours {t_ours:8.3f}s  redis-py {t_peer:8.3f}s  ratio {t_peer / t_ours:5.2f}x")
        result(f"datastore {label}", "redis-py + hiredis", t_peer / t_ours, "2x")
    peer.delete(big, "bench:ds:ours", "bench:ds:peer", "bench:ds:tasks:ours",
                "bench:ds:tasks:ours:mappings", "bench:ds:tasks:peer", "bench:ds:tasks:peer:mappings")


if __name__ == "__main__":
    main()
