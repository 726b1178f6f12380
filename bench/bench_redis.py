"""Redis round trips and five-command transactions: ours against redis-py (with hiredis).

Both clients talk to the same redis-server (127.0.0.1:6379, started by scripts/servers), on the
same keys, single-threaded and with four threads; the script prints each time and the ratio.
    PYTHONPATH=. .venv/bin/python bench/bench_redis.py [--n 20000]
"""

from __future__ import annotations

import argparse
import threading
import time

import redis
from redis.utils import HIREDIS_AVAILABLE

from mosswork_utils import connections as conn
from results import result


def round_trips(client, n, tag):
    key = f"bench:{tag}"
    for i in range(n):
        client.execute_command("SET", key, i)
        if client.execute_command("GET", key) != str(i).encode():
            raise AssertionError("wrong reply")


def transactions(client, n, tag):
    key = f"bench:tx:{tag}"
    for _ in range(n):
        p = client.pipeline(transaction=True)
        p.execute_command("INCR", key)
        p.execute_command("SADD", key + ":s", "member")
        p.execute_command("EXPIRE", key, 60)
        p.execute_command("HSET", key + ":h", "f", "v")
        p.execute_command("SCARD", key + ":s")
        result = p.execute()
        if len(result) != 5:
            raise AssertionError("wrong reply")


def timed(work, client, n, threads):
    def run(t):
        work(client, n // threads, f"{id(client)}:{t}")

    best = float("inf")
    for _ in range(3):
        workers = [threading.Thread(target=run, args=(t,)) for t in range(threads)]
        start = time.perf_counter()
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        best = min(best, time.perf_counter() - start)
    return best


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=20000, help="operations per measurement")
    args = parser.parse_args()
    ours = conn.Redis(host="127.0.0.1", port=6379, socket_timeout=30, max_connections=16)
    peer = redis.Redis(host="127.0.0.1", port=6379, socket_timeout=30, max_connections=16)
    print(f"redis-py {redis.__version__}, hiredis parser: {HIREDIS_AVAILABLE}")
    for name, work, n in (("round trips (SET+GET)", round_trips, args.n),
                          ("5-command transactions", transactions, args.n // 4)):
        for threads in (1, 4):
            t_ours = timed(work, ours, n, threads)
            t_peer = timed(work, peer, n, threads)
            print(f"{name:24} threads={threads}  ours {n / t_ours:9.0f}/s  redis-py "
                  f"{n / t_peer:9.0f}/s  ratio {t_peer / t_ours:5.2f}x")
            result(f"Redis {name}, {threads} thread(s)", "redis-py + hiredis", t_peer / t_ours)


if __name__ == "__main__":
    main()
