"""Shared by the document-text benchmarks: check that ours and the peer agree on a file, then
time both (best of several runs) and print the ratio."""

from __future__ import annotations

import sys
import time
from typing import Callable

from mosswork_utils import datastore
from results import result


def best_time(function: Callable[[], object], repeats: int) -> float:
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        function()
        best = min(best, time.perf_counter() - start)
    return best


def compare(label: str, path: str, peer_name: str, peer: Callable[[str], str], repeats: int,
            target: str = "") -> int:
    """Times datastore's extraction of `path` against `peer(path)`; 1 when the texts differ."""
    ours_text, theirs_text = datastore._read_document_text(path), peer(path)
    if ours_text != theirs_text:
        print("texts differ; no timing reported", file=sys.stderr)
        return 1
    ours = best_time(lambda: datastore._read_document_text(path), repeats)
    theirs = best_time(lambda: peer(path), repeats)
    print(f"{label} ({len(ours_text)} chars)   ours {ours * 1e3:8.1f} ms   "
          f"{peer_name} {theirs * 1e3:8.1f} ms   ratio {theirs / ours:5.2f}x")
    result(label, peer_name, theirs / ours, target)
    return 0
