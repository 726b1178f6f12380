"""Times the bridge's JSON codec against Python's json on a batch of vector-store points.

Run as `python bench/bench_json.py [--points N] [--repeats R]`. Each point is a dict with an id,
a 1,024-float dense vector, a 200-entry sparse vector and a Chinese text payload, as the
vector-store requests carry them. Both codecs run on the same batch in the same process; their
outputs are compared before any timing is reported.
"""

from __future__ import annotations

import argparse
import json
import random
import sys
import time
from typing import Any, Callable

from mosswork_utils import _bridge

_CHINESE = "知识库检索增强生成向量数据库文档分段嵌入模型查询重写召回排序答案引用"


def make_points(count: int, seed: int = 20240611) -> list[dict[str, Any]]:
    rng = random.Random(seed)
    points = []
    for index in range(count):
        indices = sorted(rng.sample(range(30_000), 200))
        text = "".join(rng.choice(_CHINESE) for _ in range(rng.randint(80, 240)))
        points.append(
            {
                "id": f"doc-{index:06d}",
                "vector": [rng.uniform(-1.0, 1.0) for _ in range(1024)],
                "sparse": {"indices": indices, "values": [rng.random() for _ in indices]},
                "payload": {"text": text, "page": rng.randint(1, 400), "source": "manual.pdf"},
            }
        )
    return points


def best_time(function: Callable[[], Any], repeats: int) -> float:
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        function()
        best = min(best, time.perf_counter() - start)
    return best


def same_values(a: Any, b: Any) -> bool:
    # == alone takes 1 for 1.0; their JSON texts also distinguish ints from floats. No NaN here.
    return a == b and json.dumps(a) == json.dumps(b)


def report(name: str, ours: float, theirs: float) -> None:
    print(f"{name:<34} ours {ours * 1e3:9.2f} ms   json {theirs * 1e3:9.2f} ms   "
          f"ratio {theirs / ours:6.2f}x")


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--points", type=int, default=1000)
    parser.add_argument("--repeats", type=int, default=7)
    args = parser.parse_args(argv)

    points = make_points(args.points)
    print(f"batch: {args.points} points, Python {sys.version.split()[0]}")

    failures = 0
    for ensure_ascii in (True, False):
        ours_text = _bridge.dumps(points, ensure_ascii=ensure_ascii)
        json_text = json.dumps(points, ensure_ascii=ensure_ascii)
        if ours_text != json_text:
            print(f"dumps(ensure_ascii={ensure_ascii}): OUTPUTS DIFFER")
            failures += 1
            continue
        ours = best_time(lambda: _bridge.dumps(points, ensure_ascii=ensure_ascii), args.repeats)
        theirs = best_time(lambda: json.dumps(points, ensure_ascii=ensure_ascii), args.repeats)
        report(f"dumps ensure_ascii={ensure_ascii}", ours, theirs)
        if ensure_ascii:
            print(f"{'':<34} output {len(ours_text) / 1e6:.1f} MB")

    for ensure_ascii in (True, False):
        text = json.dumps(points, ensure_ascii=ensure_ascii)
        if not same_values(_bridge.loads(text), json.loads(text)):
            print(f"loads(ensure_ascii={ensure_ascii} text): RESULTS DIFFER")
            failures += 1
            continue
        ours = best_time(lambda: _bridge.loads(text), args.repeats)
        theirs = best_time(lambda: json.loads(text), args.repeats)
        report(f"loads of ensure_ascii={ensure_ascii} text", ours, theirs)

    data = json.dumps(points, ensure_ascii=False).encode("utf-8")
    if not same_values(_bridge.loads(data), json.loads(data)):
        print("loads(utf-8 bytes): RESULTS DIFFER")
        failures += 1
    else:
        ours = best_time(lambda: _bridge.loads(data), args.repeats)
        theirs = best_time(lambda: json.loads(data), args.repeats)
        report("loads of UTF-8 bytes", ours, theirs)

    ours_bytes = _bridge.dumps_utf8(points, ensure_ascii=False)
    if ours_bytes != data:
        print("dumps_utf8(ensure_ascii=False): OUTPUTS DIFFER")
        failures += 1
    else:
        ours = best_time(lambda: _bridge.dumps_utf8(points, ensure_ascii=False), args.repeats)
        theirs = best_time(
            lambda: json.dumps(points, ensure_ascii=False).encode("utf-8"), args.repeats)
        report("dumps_utf8 vs dumps().encode()", ours, theirs)
    return 1 if failures else 0


if __name__ == "__main__":
    raise SystemExit(main(sys.argv[1:]))
