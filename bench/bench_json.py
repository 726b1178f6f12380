"""Times the bridge's JSON codec against Python's json and orjson.

Run as `python bench/bench_json.py [--points N] [--repeats R]`. The cases:

- 1,000,000 floats, as a flat list;
- 20,000 Chinese texts, once with the same str objects every run (orjson then reuses the UTF-8
  copy CPython caches inside each str) and once with fresh str objects each run;
- a batch of vector-store points: each a dict with an id, a 1,024-float dense vector, a
  200-entry sparse vector and a Chinese text payload, as the vector-store requests carry them;
- decoding a query answer of 100 hits whose payloads hold 1,024-float vectors, from UTF-8 bytes
  as the connections read server answers.

Our output is compared with json's before any timing is reported (orjson writes non-ASCII
unescaped and no spaces, so only its time is compared). Ratios are our time over the peer's:
below 1 means we are faster. Times are the best of R runs, each as this thread's CPU time, so that
other work on a shared machine counts less. The text of ensure_ascii=True output goes to a str (dumps), that of
ensure_ascii=False to UTF-8 bytes (dumps_utf8), the form request bodies take; json's and
orjson's times include the same conversion.
"""

from __future__ import annotations

import argparse
import json
import random
import sys
import time
from typing import Any, Callable

import orjson

from mosswork_utils import _bridge
from results import result

_CHINESE = "知识库检索增强生成向量数据库文档分段嵌入模型查询重写召回排序答案引用"


def chinese_text(rng: random.Random) -> str:
    return "".join(rng.choice(_CHINESE) for _ in range(rng.randint(80, 240)))


def make_points(count: int, seed: int = 20240611) -> list[dict[str, Any]]:
    rng = random.Random(seed)
    points = []
    for index in range(count):
        indices = sorted(rng.sample(range(30_000), 200))
        points.append(
            {
                "id": f"doc-{index:06d}",
                "vector": [rng.uniform(-1.0, 1.0) for _ in range(1024)],
                "sparse": {"indices": indices, "values": [rng.random() for _ in indices]},
                "payload": {"text": chinese_text(rng), "page": rng.randint(1, 400),
                            "source": "manual.pdf"},
            }
        )
    return points


def make_answer(hits: int, seed: int = 7) -> bytes:
    rng = random.Random(seed)
    result = [
        {
            "id": f"doc-{index:06d}",
            "version": rng.randint(1, 100),
            "score": rng.random(),
            "payload": {"text": chinese_text(rng), "page": rng.randint(1, 400),
                        "vector": [rng.uniform(-1.0, 1.0) for _ in range(1024)]},
        }
        for index in range(hits)
    ]
    answer = {"result": result, "status": "ok", "time": 0.0123}
    return json.dumps(answer, ensure_ascii=False).encode("utf-8")


def fresh(value: Any) -> Any:
    """The same value with new str objects, none of them holding a cached UTF-8 copy."""
    if isinstance(value, str):
        return (value + " ")[:-1]
    if isinstance(value, list):
        # Lists of numbers (the vectors) are kept: they hold no str.
        if value and isinstance(value[0], (int, float)):
            return value
        return [fresh(v) for v in value]
    if isinstance(value, dict):
        return {fresh(k): fresh(v) for k, v in value.items()}
    return value


def best_time(function: Callable[[Any], Any], data: Any, repeats: int, renew: bool) -> float:
    best = float("inf")
    for _ in range(repeats):
        arg = fresh(data) if renew else data
        start = time.thread_time()
        function(arg)
        best = min(best, time.thread_time() - start)
    return best


def same_values(a: Any, b: Any) -> bool:
    # == alone takes 1 for 1.0; their JSON texts also distinguish ints from floats. No NaN here.
    return a == b and json.dumps(a) == json.dumps(b)


def report(name: str, ours: float, json_time: float, orjson_time: float) -> None:
    print(f"{name:<44} ours {ours * 1e3:8.2f} ms  json {json_time * 1e3:8.2f} ms  "
          f"orjson {orjson_time * 1e3:7.2f} ms  ours/json {ours / json_time:5.2f}  "
          f"ours/orjson {ours / orjson_time:5.2f}")
    result(f"JSON {name}", "json", json_time / ours)
    result(f"JSON {name}", "orjson", orjson_time / ours, "1x")


def bench_dumps(name: str, data: Any, repeats: int, renew: bool = False) -> int:
    """Both ensure_ascii modes; 1 when our output differs from json's."""
    failures = 0
    peers = {
        True: (lambda v: _bridge.dumps(v, ensure_ascii=True),
               lambda v: json.dumps(v, ensure_ascii=True)),
        False: (lambda v: _bridge.dumps_utf8(v, ensure_ascii=False),
                lambda v: json.dumps(v, ensure_ascii=False).encode("utf-8")),
    }
    for ensure_ascii, (ours, theirs) in peers.items():
        if ours(data) != theirs(data):
            print(f"{name} ensure_ascii={ensure_ascii}: OUTPUTS DIFFER")
            failures = 1
            continue
        times = [best_time(f, data, repeats, renew) for f in (ours, theirs, orjson.dumps)]
        report(f"{name} ascii={ensure_ascii}", *times)
    return failures


def bench_loads(name: str, text: str | bytes, repeats: int) -> int:
    if not same_values(_bridge.loads(text), json.loads(text)):
        print(f"{name}: RESULTS DIFFER")
        return 1
    times = [best_time(f, text, repeats, False) for f in (_bridge.loads, json.loads, orjson.loads)]
    report(name, *times)
    return 0


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--points", type=int, default=1000)
    parser.add_argument("--repeats", type=int, default=7)
    args = parser.parse_args(argv)
    repeats = args.repeats
    print(f"Python {sys.version.split()[0]}, orjson {orjson.__version__}")

    rng = random.Random(1)
    floats = [rng.uniform(-1.0, 1.0) for _ in range(1_000_000)]
    texts = [chinese_text(rng) for _ in range(20_000)]
    points = make_points(args.points)
    answer = make_answer(100)

    failures = 0
    failures += bench_dumps("1,000,000 floats", floats, repeats)
    failures += bench_dumps("20,000 Chinese texts", texts, repeats)
    failures += bench_dumps("20,000 Chinese texts, fresh str", texts, repeats, renew=True)
    failures += bench_dumps(f"batch of {args.points} points", points, repeats)
    failures += bench_dumps(f"batch of {args.points} points, fresh str", points, repeats,
                            renew=True)

    failures += bench_loads("loads 100-hit answer (UTF-8 bytes)", answer, repeats)
    failures += bench_loads("loads 100-hit answer (str)", answer.decode("utf-8"), repeats)
    batch_text = json.dumps(points)
    failures += bench_loads(f"loads batch of {args.points} (ASCII str)", batch_text, repeats)
    return 1 if failures else 0


if __name__ == "__main__":
    raise SystemExit(main(sys.argv[1:]))
