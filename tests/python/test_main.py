"""The package's command line: the self-check imports and exercises every module."""

from __future__ import annotations

import os
import socket
import subprocess
import sys

import yaml


def test_selfcheck_reports_every_module(root):
    env = dict(os.environ, PYTHONPATH=str(root))
    run = subprocess.run(
        [sys.executable, "-m", "mosswork_utils", "selfcheck"], cwd=root, env=env,
        capture_output=True, text=True,
    )
    assert run.returncode == 0, run.stdout + run.stderr
    lines = run.stdout.splitlines()
    from mosswork_utils import buildhelper
    names = list(buildhelper.setup_description["ext_modules"][0]["modules"]) + ["mosswork_utils._bridge"]
    assert {"mosswork_utils.notices", "mosswork_utils.buildhelper", "mosswork_utils.connections",
            "mosswork_utils.datastore", "mosswork_utils.plugins", "mosswork_utils.ocr"} <= set(names)
    for name in names:
        (line,) = [l for l in lines if l.startswith(name + " ")]
        assert " 1.0.0 " in line and " ok " in line
    assert lines[-1] == f"{len(names)} of {len(names)} modules ok"


def test_unknown_command_fails(root):
    run = subprocess.run([sys.executable, "-m", "mosswork_utils", "bogus"], cwd=root,
                         env=dict(os.environ, PYTHONPATH=str(root)), capture_output=True, text=True)
    assert run.returncode == 2 and "invalid choice" in run.stderr


def test_doctor_reaches_the_local_servers(root, servers):
    env = dict(os.environ, PYTHONPATH=str(root))
    env.pop("MOSSWORK_CONFIG", None)
    run = subprocess.run([sys.executable, "-m", "mosswork_utils", "doctor"], cwd=root, env=env,
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr
    lines = run.stdout.splitlines()
    assert lines[0] == "connecting redis 127.0.0.1 6379"
    status = {l[:14].strip(): l[15:27].strip() for l in lines if l[15:27].strip() in ("reachable", "UNREACHABLE")}
    for service in ("redis", "sentinel", "redis master", "redis replica", "rabbitmq", "vexlo",
                    "minio", "opensearch"):
        assert status[service] == "reachable", run.stdout
    redis_line = next(l for l in lines if l.startswith("redis "))
    assert "redis 7." in redis_line or "redis 8." in redis_line


def test_doctor_fails_on_an_unreachable_service(root, servers, tmp_path):
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        closed = s.getsockname()[1]
    service = yaml.safe_load((root / "configs" / "service.yaml").read_text(encoding="utf-8"))
    service["service"]["rabbitmq_port"] = closed
    cfg = tmp_path / "service.yaml"
    cfg.write_text(yaml.safe_dump(service), encoding="utf-8")
    env = dict(os.environ, PYTHONPATH=str(root), MOSSWORK_CONFIG=str(cfg))
    run = subprocess.run([sys.executable, "-m", "mosswork_utils", "doctor"], cwd=root, env=env,
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 1, run.stdout + run.stderr
    (line,) = [l for l in run.stdout.splitlines() if l.startswith("rabbitmq ")]
    assert "UNREACHABLE" in line
    assert run.stderr.splitlines()[-1] == "doctor: cannot reach rabbitmq"
