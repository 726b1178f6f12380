"""The one line each measured ratio also prints for scripts/bench, which gathers them into
bench/RESULTS.md: tab-separated, after the word RESULT."""


def result(work: str, peer: str, ratio: float, target: str = "") -> None:
    """ratio: the peer's time over ours (above 1 means ours is faster)."""
    print(f"RESULT\t{work}\t{peer}\t{ratio:.2f}x\t{target}", flush=True)
