"""Shared fixtures: the service logger's records, and the source tree's location."""

from __future__ import annotations

import logging
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]


@pytest.fixture
def root() -> Path:
    return ROOT


class Recorder:
    """A logger stand-in that keeps every call exactly as it was made."""

    def __init__(self, enabled_from: int = logging.DEBUG) -> None:
        self.calls: list[tuple[str, tuple, dict]] = []
        self.enabled_from = enabled_from

    def isEnabledFor(self, level: int) -> bool:  # noqa: N802 - logging's own name
        self.calls.append(("isEnabledFor", (level,), {}))
        return level >= self.enabled_from

    def __getattr__(self, name: str):
        if name not in ("debug", "info", "warning", "error"):
            raise AttributeError(name)

        def record(*args, **kwargs):
            self.calls.append((name, args, kwargs))

        return record

    def messages(self) -> list[tuple[str, tuple]]:
        return [(n, a) for n, a, _ in self.calls if n != "isEnabledFor"]


@pytest.fixture
def recorder(monkeypatch) -> Recorder:
    """Replaces the service logger with a Recorder for the test."""
    import mosswork_utils.logger

    rec = Recorder()
    monkeypatch.setattr(mosswork_utils.logger, "logger", rec)
    return rec


@pytest.fixture
def service_log(caplog):
    """Captures the real service logger at every level."""
    caplog.set_level(logging.DEBUG, logger="mosswork_utils")
    return caplog


def _servers(*args: str) -> subprocess.CompletedProcess:
    return subprocess.run(["bash", str(ROOT / "scripts" / "servers"), *args],
                          capture_output=True, text=True, timeout=300)


@pytest.fixture(scope="session")
def servers():
    """Starts the local servers (idempotent) and returns a function that restarts named ones."""
    run = _servers("start")
    if run.returncode != 0:
        pytest.fail("the local servers did not start:\n" + run.stdout + run.stderr)

    def restart(*names: str) -> None:
        again = _servers("start", *names)
        assert again.returncode == 0, again.stdout + again.stderr

    return restart


class FakeLangfuse:
    """A Langfuse client whose trace listing answers from scripted states: the first listing
    call from states[0], each later one from the next state (the last one repeats). Each state is
    the trace's whole observation list in listing order, paged as the server pages it."""

    def __init__(self, *states: list) -> None:
        self.states = states
        self.calls: list[int | None] = []  # the page asked for, None when omitted

    def get_observations(self, *, trace_id, limit, page=None):
        from types import SimpleNamespace

        assert limit == 50 and trace_id
        state = self.states[min(len(self.calls), len(self.states) - 1)]
        self.calls.append(page)
        number = page or 1
        meta = SimpleNamespace(page=number, limit=limit, total_items=len(state),
                               total_pages=-(-len(state) // limit))
        return SimpleNamespace(data=state[(number - 1) * limit:number * limit], meta=meta)


@pytest.fixture
def fake_langfuse(monkeypatch):
    """Puts a FakeLangfuse built from the given states in place of the tracetools client."""
    from mosswork_utils import tracetools

    def install(*states: list) -> FakeLangfuse:
        fake = FakeLangfuse(*states)
        monkeypatch.setattr(tracetools, "langfuse", fake)
        return fake

    return install
