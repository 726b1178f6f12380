"""Shared fixtures: the service logger's records, the source tree's location, the local servers
and a plain redis-py client on them."""

from __future__ import annotations

import os
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


@pytest.fixture
def raw():
    """A plain redis-py client on the server and database of connections.r, for checks."""
    import redis

    client = redis.Redis(host="127.0.0.1", port=6379, db=0, socket_timeout=5)
    yield client
    client.close()


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


class VexloStandin:
    """The vector-database stand-in's admin interface: what it received, how it answers."""

    def __init__(self, base: str, api_key: str) -> None:
        import uuid

        self.base = base
        self.api_key = api_key
        # Collections of this test start with it; the log, mode and scripted answers concern
        # only them, so other users of the shared server are never delayed or stalled.
        self.prefix = "vt" + uuid.uuid4().hex[:10]

    def _call(self, method: str, path: str, body=None):
        import json
        import urllib.request

        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(self.base + path, data=data, method=method,
                                         headers={"api-key": self.api_key,
                                                  "Content-Type": "application/json"})
        with urllib.request.urlopen(request, timeout=30) as answer:
            return json.loads(answer.read())

    def requests(self) -> list[dict]:
        """The requests received since the last reset, bodies decoded to bytes."""
        import base64

        entries = self._call("GET", "/_standin/requests")["requests"]
        for entry in entries:
            entry["body"] = base64.b64decode(entry["body"])
        return entries

    def script(self, status: int, body: bytes, reason: str | None = None,
               content_type: str | None = "application/json") -> None:
        import base64

        self._call("POST", "/_standin/script", {"status": status, "reason": reason,
                                               "body": base64.b64encode(body).decode(),
                                               "content_type": content_type})

    def mode(self, delay: float = 0.0, stall: bool = False) -> None:
        self._call("POST", "/_standin/mode", {"delay": delay, "stall": stall})

    def reset(self, scope: bool = True) -> None:
        self._call("POST", "/_standin/reset",
                   {"scope": "/collections/" + self.prefix} if scope else {})

    def put(self, path: str, body) -> dict:
        return self._call("PUT", path, body)


@pytest.fixture
def vexlo(servers):
    """The stand-in, its log, mode and scripted answers reset before and after the test."""
    from mosswork_utils import connections

    cfg = connections.config
    standin = VexloStandin(f"http://{cfg['vexlo_host']}:{cfg['vexlo_port']}", cfg["vexlo_api_key"])
    standin.reset()
    yield standin
    standin.reset(scope=False)


@pytest.fixture(scope="session")
def opensearch_standin():
    """An OpenSearch stand-in of this tree on a free port (user admin, password ferny), so that
    tests of the whole search surface never depend on the shared one's version or state;
    returns its "127.0.0.1:port"."""
    import sys

    process = subprocess.Popen(
        [sys.executable, str(ROOT / "tests" / "servers" / "opensearch_standin.py"), "--port", "0",
         "--user", "admin", "--password", "ferny"],
        stdout=subprocess.PIPE, text=True, cwd=ROOT / "tests" / "servers",
        # The stand-in imports its neighbours from its own folder, which a safe path leaves out.
        env={k: v for k, v in os.environ.items() if k not in ("PYTHONSAFEPATH", "LD_PRELOAD")})
    try:
        line = process.stdout.readline()  # "OpenSearch stand-in on 127.0.0.1:<port>"
        assert " on 127.0.0.1:" in line, line
        yield line.split(" on ", 1)[1].strip()
    finally:
        process.terminate()
        process.wait(timeout=10)
        process.stdout.close()


def outcome(call):
    """("ok", what call returns) or ("raised", the exception): what a differential test compares
    between our client and the library's own."""
    try:
        return "ok", call()
    except Exception as error:  # noqa: BLE001 - the outcome is what is compared
        return "raised", error
