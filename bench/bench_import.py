"""Benchmark: import time of each compiled module, in fresh processes.

For each module, three figures (medians over fresh interpreters): imported cold; imported with
the service's third-party packages already loaded (as a worker has them: LangChain's core with
its callbacks manager, Celery, PyYAML, the Langfuse SDK); and with those plus the package's own modules it imports
(so the figure is the module's own cost), and with the client libraries whose classes connections
publishes (redis-py, minio-py, opensearch-py) loaded too. The target is 30 ms or less for datastore
with its dependencies loaded.
No peer: the figures are times, so quote them with the machine's load in mind.

    PYTHONPATH=$PWD .venv/bin/python bench/bench_import.py [--runs 7] [--module datastore ...]
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys

THIRD_PARTY = ["langchain_core", "langchain_core.callbacks.manager", "celery", "yaml", "langfuse.callback"]
# The client libraries whose classes connections publishes (a service written against them has
# them loaded already).
CLIENT_LIBS = ["redis", "redis.sentinel", "minio", "opensearchpy"]
# The package's modules each one imports at its own import.
OWN = {
    "connections": [],
    "datastore": ["mosswork_utils.connections"],
    "plugins": ["mosswork_utils.connections", "mosswork_utils.datastore"],
    "ocr": ["mosswork_utils.connections"],
    "notices": [],
    "tracetools": [],
    "buildhelper": [],
    "_bridge": [],
}

CHILD = """
import importlib, sys, time
for name in sys.argv[2:]:
    importlib.import_module(name)
started = time.perf_counter()
importlib.import_module(sys.argv[1])
elapsed = time.perf_counter() - started
lc = sorted(m for m in ("langsmith", "langchain_core.runnables") if m in sys.modules)
print("IMPORT-MS", elapsed * 1e3, ",".join(lc) or "-")
"""


def one_run(module: str, preload: list[str]) -> tuple[float, str]:
    # Every module is preceded by the package itself, whose __init__ is not under test.
    run = subprocess.run([sys.executable, "-c", CHILD, module, "mosswork_utils", *preload],
                         capture_output=True, text=True, timeout=120, env=os.environ.copy())
    for line in reversed(run.stdout.splitlines()):
        if line.startswith("IMPORT-MS "):
            _, ms, loaded = line.split()
            return float(ms), loaded
    raise RuntimeError(f"{module}: no timing line\n{run.stdout}\n{run.stderr}")


def median_of(module: str, preload: list[str], runs: int) -> tuple[float, str]:
    times, loaded = [], set()
    for _ in range(runs):
        ms, lc = one_run(module, preload)
        times.append(ms)
        loaded.add(lc)
    return statistics.median(times), "/".join(sorted(loaded))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--module", action="append", choices=sorted(OWN))
    args = parser.parse_args()
    names = args.module or list(OWN)

    print(f"median of {args.runs} fresh processes, ms; 'LangChain after' lists what of "
          "langsmith / langchain_core.runnables the import added with nothing preloaded")
    header = (f"{'module':<14}{'cold':>10}{'+3rd party':>12}{'+client libs':>14}{'+own deps':>12}"
              "  LangChain after")
    print(header)
    print("-" * len(header))
    for name in names:
        module = "mosswork_utils." + name
        cold, loaded = median_of(module, [], args.runs)
        third, _ = median_of(module, THIRD_PARTY, args.runs)
        clients, _ = median_of(module, THIRD_PARTY + CLIENT_LIBS, args.runs)
        own, _ = median_of(module, THIRD_PARTY + CLIENT_LIBS + OWN[name], args.runs)
        print(f"{name:<14}{cold:>10.1f}{third:>12.1f}{clients:>14.1f}{own:>12.1f}  {loaded}",
              flush=True)


if __name__ == "__main__":
    main()
