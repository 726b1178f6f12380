"""The package's command line: the self-check imports and exercises every module."""

from __future__ import annotations

import os
import subprocess
import sys


def test_selfcheck_reports_every_module(root):
    env = dict(os.environ, PYTHONPATH=str(root))
    run = subprocess.run(
        [sys.executable, "-m", "mosswork_utils", "selfcheck"], cwd=root, env=env,
        capture_output=True, text=True,
    )
    assert run.returncode == 0, run.stdout + run.stderr
    lines = run.stdout.splitlines()
    for name in ("mosswork_utils.notices", "mosswork_utils.buildhelper", "mosswork_utils._bridge"):
        (line,) = [l for l in lines if l.startswith(name + " ")]
        assert " 1.0.0 " in line and " ok " in line
    assert lines[-1] == "3 of 3 modules ok"


def test_unknown_command_fails(root):
    run = subprocess.run([sys.executable, "-m", "mosswork_utils", "bogus"], cwd=root,
                         env=dict(os.environ, PYTHONPATH=str(root)), capture_output=True, text=True)
    assert run.returncode == 2 and "invalid choice" in run.stderr
