"""The trace report as a browser draws it: headless Chromium loads the page that
`tracetools.langfuse_profiling` writes, runs its scripts without an error and renders the three
sections; a screenshot is kept in tests/artifacts/."""

from __future__ import annotations

import datetime as dt
import os
import re
import shutil
import subprocess
from pathlib import Path
from types import SimpleNamespace

import pytest

CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
ARTIFACTS = Path(__file__).resolve().parents[1] / "artifacts"

if not os.access(CHROMIUM, os.X_OK):
    if os.environ.get("MOSSWORK_REQUIRE_SERVERS"):
        raise RuntimeError("chromium is required for the report's browser test but is missing")
    pytest.skip("chromium is not installed", allow_module_level=True)

T0 = dt.datetime(2024, 5, 1, 10, 0, 0, tzinfo=dt.timezone.utc)


def observation(oid, name, parent, start, latency, kind="SPAN", **extra):
    return SimpleNamespace(
        id=oid, name=name, type=kind, parent_observation_id=parent,
        start_time=T0 + dt.timedelta(seconds=start),
        end_time=T0 + dt.timedelta(seconds=start + latency),
        latency=latency, model=extra.get("model"), input=extra.get("input", []),
        output=extra.get("output", {}), completionTokens=extra.get("tokens"))


def trace_observations():
    """A chat run, newest first as the listing delivers it; one model call was cached (latency 0)
    and one step name tries to close the page's script."""
    found = [
        observation("o1", "chain", None, 0.0, 3.2),
        observation("o2", "retriever_binding", "o1", 0.1, 0.9),
        observation("o3", "VectorStoreRetriever", "o2", 0.15, 0.5),
        observation("o4", "reranker", "o2", 0.7, 0.25),
        observation("o5", "ChatOpenAI", "o1", 1.0, 1.8, "GENERATION", model="gpt-4o",
                    input=[{"content": "什么是向量数据库？"}], output={"content": "一种数据库。" * 30},
                    tokens=42),
        observation("o6", "ChatOpenAI", "o1", 2.8, 0, "GENERATION", model="gpt-4o",
                    input=[{"content": "again"}], output={"content": "cached"}, tokens=3),
        observation("o7", "vynStrOutputParser", "o5", 1.2, 1.5),
        observation("o8", "</script><script>document.body.dataset.injected=1</script>", "o1",
                    3.0, 0.1),
    ]
    return list(reversed(found))


class FakeLangfuse:
    def __init__(self, observations, page_size=50):
        self.observations = observations
        self.page_size = page_size

    def get_observations(self, trace_id, limit, page=1):
        pages = max(1, -(-len(self.observations) // limit))
        chunk = self.observations[(page - 1) * limit: page * limit]
        return SimpleNamespace(data=chunk, meta=SimpleNamespace(
            page=page, limit=limit, total_items=len(self.observations), total_pages=pages))


def chromium(*args: str) -> subprocess.CompletedProcess:
    # The browser is not ours: the sanitizer runtimes preloaded into this interpreter stay out.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    return subprocess.run(
        [CHROMIUM, "--headless", "--disable-gpu", "--no-sandbox", "--hide-scrollbars",
         "--virtual-time-budget=15000", "--enable-logging=stderr", "--v=0", *args],
        capture_output=True, text=True, timeout=180, env=env)


@pytest.fixture(scope="module")
def report_page(tmp_path_factory):
    from mosswork_utils import tracetools

    saved = tracetools.langfuse
    tracetools.langfuse = FakeLangfuse(trace_observations())
    try:
        path = Path(tracetools.langfuse_profiling("trace-browser"))
    finally:
        tracetools.langfuse = saved
    # Outside the temporary folder Chromium's profile and the page would share.
    page = tmp_path_factory.mktemp("report") / "report.html"
    shutil.move(path, page)
    return page


def test_scripts_run_and_three_sections_render(report_page):
    run = chromium("--dump-dom", report_page.as_uri())
    assert run.returncode == 0, run.stderr[-2000:]
    console = [line for line in run.stderr.splitlines() if "CONSOLE" in line]
    assert not [line for line in console if re.search(r"Uncaught|Error", line)], console
    dom = run.stdout
    assert "data-injected" not in dom  # the step name stayed text
    assert len(re.findall(r'class="plotly-graph-div[^"]*"', dom)) == 3
    titles = re.findall(r'<text class="gtitle"[^>]*>([^<]*)</text>', dom)
    assert titles == ["Profile Summary", "Timeline Graph", "Flame Graph"]
    # The tables drew their cells: the model call's output was cut into lines of 26.
    assert "一种数据库。" in dom
    assert dom.count('class="main-svg"') >= 3


def test_screenshot(report_page):
    ARTIFACTS.mkdir(exist_ok=True)
    shot = ARTIFACTS / "trace_report.png"
    shot.unlink(missing_ok=True)
    run = chromium(f"--screenshot={shot}", "--window-size=1280,2400", report_page.as_uri())
    assert run.returncode == 0, run.stderr[-2000:]
    assert shot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert shot.stat().st_size > 20_000  # more than a blank page
