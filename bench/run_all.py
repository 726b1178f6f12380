"""Runs every benchmark of bench/ against the local servers, shows each one's own output, and
writes the ratios they report (their RESULT lines) into bench/RESULTS.md with the date and the
machine. Used by scripts/bench."""

from __future__ import annotations

import datetime
import os
import platform
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
# Import times have no peer and print no ratio; the rest each print theirs.
SKIP = {"bench_import.py"}


def machine() -> str:
    model = "unknown CPU"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    load = os.getloadavg()[0]
    return f"{platform.node()}: {os.cpu_count()} cores, {model}, load {load:.1f} at start"


def main() -> int:
    rows, failed = [], []
    where = machine()
    for script in sorted(HERE.glob("bench_*.py")):
        if script.name in SKIP:
            continue
        print(f"== {script.name}", flush=True)
        run = subprocess.run([sys.executable, str(script)], cwd=HERE.parent, text=True,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=1800)
        for line in run.stdout.splitlines():
            if line.startswith("RESULT\t"):
                rows.append((script.name, *line.split("\t")[1:5]))
            elif not line.startswith(("connecting ", "ocr service endpoint:")):
                print(line)
        if run.returncode != 0:
            failed.append(script.name)
    date = datetime.date.today().isoformat()
    out = ["# Benchmark results", "",
           "Written by `scripts/bench` (bench/run_all.py); each ratio is the peer's time over ours,",
           "so above 1 means ours is faster. One run on the machine named below: read the ratios with",
           "its load in mind.", "",
           "| benchmark | work | peer | ratio | target | date | machine |",
           "|---|---|---|---|---|---|---|"]
    out += [f"| {b} | {w} | {p} | {r} | {t or '-'} | {date} | {where} |" for b, w, p, r, t in rows]
    if failed:
        out += ["", "Failed to run: " + ", ".join(failed)]
    (HERE / "RESULTS.md").write_text("\n".join(out) + "\n", encoding="utf-8")
    print(f"bench: {len(rows)} ratios written to bench/RESULTS.md"
          + (f"; failed: {', '.join(failed)}" if failed else ""))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
