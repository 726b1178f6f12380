"""Command line of the package: ``python -m mosswork_utils selfcheck``.

selfcheck imports every compiled module named by the build description and prints, for each,
its name, its version and the result of a short check that exercises it.
"""

from __future__ import annotations

import argparse
import importlib
import sys
import tempfile
import time
from pathlib import Path


def _check_notices(module) -> str:
    n = module.SqlNoResultInfo("no rows")
    assert n.message == "SqlNoResultInfo: no rows" and n.info_code == "VYNLLM001I"
    assert module.infos == (module.BaseInfo, module.SqlNoResultInfo)
    return f"{len(module.debugs) + len(module.infos) + len(module.warnings)} notice classes, codes ok"


def _check_buildhelper(module) -> str:
    with tempfile.TemporaryDirectory() as tmp:
        src = Path(tmp, "src")
        (src / "configs" / "plugins").mkdir(parents=True)
        (src / "configs" / "plugins" / "p.yaml").write_text("plugins: []\n")
        (src / "requirements.txt").write_text("PyYAML\n")
        out = Path(tmp, "out")
        out.mkdir()
        result = module.MyBuildExt(build_lib=out, root_dir=src).run()
        assert (out / "configs" / "plugins" / "p.yaml").read_text() == "plugins: []\n"
    d = module.setup_description
    return f"{d['name']} {d['version']} by {d['author']}, copied {result['configs_files']} data file(s)"


def _check_bridge(module) -> str:
    import json

    value = {"文本": [1, 2.5, None, True, "\U0001f600"], "n": 10**30}
    for ascii_only in (True, False):
        text = module.dumps(value, ensure_ascii=ascii_only)
        assert text == json.dumps(value, ensure_ascii=ascii_only)
        assert module.loads(text) == value
    return "JSON codec agrees with json"


CHECKS = {
    "mosswork_utils.notices": _check_notices,
    "mosswork_utils.buildhelper": _check_buildhelper,
    "mosswork_utils._bridge": _check_bridge,
}


def selfcheck() -> int:
    from mosswork_utils import buildhelper

    names = list(buildhelper.setup_description["ext_modules"][0]["modules"]) + ["mosswork_utils._bridge"]
    failures = 0
    for name in names:
        start = time.perf_counter()
        try:
            module = importlib.import_module(name)
            check = CHECKS.get(name)
            detail = check(module) if check else "imported"
            status = "ok"
        except Exception as e:  # report every module, then fail
            module, detail, status = None, f"{type(e).__name__}: {e}", "FAILED"
            failures += 1
        ms = (time.perf_counter() - start) * 1000
        version = getattr(module, "__version__", "?")
        where = Path(getattr(module, "__file__", "?")).name
        print(f"{name:30} {version:8} {status:6} {ms:7.1f} ms  {detail}  [{where}]")
    print(f"{len(names) - failures} of {len(names)} modules ok")
    return 1 if failures else 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m mosswork_utils")
    sub = parser.add_subparsers(dest="command", required=True)
    sub.add_parser("selfcheck", help="import every module and run a short check of each")
    args = parser.parse_args(argv)
    if args.command == "selfcheck":
        return selfcheck()
    return 2


if __name__ == "__main__":
    sys.exit(main())
