"""Resident memory a worker pays for the package, against the client stack it replaces.

Each figure is measured in a fresh process that already holds what a worker holds anyway
(LangChain's core with its callbacks manager, Celery, PyYAML, the Langfuse SDK): the resident memory added by importing
every module of the package, against the memory added by importing the libraries a service would
otherwise load for the same work (redis-py with Sentinel, minio-py, opensearch-py, requests and
httpx, kombu, PyMuPDF, python-docx, pandas and Plotly). A second row imports the package and then
makes one call on each published client, so that the libraries those calls need are loaded too.

    PYTHONPATH=$PWD .venv/bin/python bench/bench_memory.py [--runs 3]
"""

from __future__ import annotations

import argparse
import statistics
import subprocess
import sys

from results import result

BASE = ["langchain_core", "langchain_core.callbacks.manager", "celery", "yaml", "langfuse.callback"]
OURS = ["mosswork_utils.connections", "mosswork_utils.datastore", "mosswork_utils.ocr",
        "mosswork_utils.tracetools", "mosswork_utils.chatwrapper", "mosswork_utils.notices"]
PEER = ["redis", "redis.sentinel", "minio", "opensearchpy", "requests", "httpx", "kombu", "fitz",
        "docx", "pandas", "plotly.graph_objects"]

# One call on each published client (the servers of scripts/servers must be up).
USE = """
from mosswork_utils import connections as c
c.r.set("bench:memory", 1); c.r.pipeline().get("bench:memory").execute()
c.minio_client.bucket_exists("mosswork-bench")
try:
    c.opensearch_client.get_source(index="kb_documents", id="document_none")
except Exception:
    pass
"""

CHILD = """
import importlib, sys
def rss():
    with open("/proc/self/statm") as f:
        import os
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
for name in sys.argv[3:]:
    importlib.import_module(name)
before = rss()
for name in sys.argv[2].split(","):
    importlib.import_module(name)
if sys.argv[1] == "use":
    exec(USE)
print("RSS-ADDED", rss() - before)
"""


def added(modules: list[str], use: bool, runs: int) -> float:
    values = []
    for _ in range(runs):
        run = subprocess.run([sys.executable, "-c", "USE = " + repr(USE) + "\n" + CHILD,
                              "use" if use else "import", ",".join(modules), *BASE],
                             capture_output=True, text=True, timeout=300)
        line = [l for l in run.stdout.splitlines() if l.startswith("RSS-ADDED ")]
        if not line:
            raise RuntimeError(f"no figure\n{run.stdout}\n{run.stderr}")
        values.append(int(line[-1].split()[1]))
    return statistics.median(values) / (1 << 20)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    peer = added(PEER, False, args.runs)
    for label, use in (("every module imported", False), ("and one call a client", True)):
        ours = added(OURS, use, args.runs)
        print(f"{label:<24} ours {ours:6.1f} MiB  peer stack {peer:6.1f} MiB  "
              f"ratio {peer / ours:5.2f}x")
        result(f"resident memory, {label}", "the peer client stack", peer / ours)


if __name__ == "__main__":
    main()
