"""Command line of the package.

``python -m mosswork_utils selfcheck`` imports every compiled module named by the build
description and prints, for each, its name, its version and the result of a short check.

``python -m mosswork_utils doctor`` loads the configuration as the service does (printing the
connection lines), then reaches every configured service through the published clients and
prints one line per service: reachable or not, the round-trip time, and what the server says of
itself where its protocol tells. It exits with status 1 when any service cannot be reached.

``python -m mosswork_utils demo`` runs the service's typical road end to end against the local
servers, one line a step (see mosswork_utils/demo.py).

Outside the service, where no `configs` package is on the path, the modules use the copy the
build installed inside the package (and log a warning saying so).
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
        from setuptools import Distribution

        command = module.MyBuildExt(Distribution(), build_lib=str(out), root_dir=str(src))
        result = command.run()
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


def _check_connections(module) -> str:
    built = [n for n in ("r", "vexlo_client", "async_vexlo_client", "minio_client",
                         "opensearch_client") if getattr(module, n, None) is not None]
    return f"clients built: {', '.join(built)}"


def _check_datastore(module) -> str:
    names = ("get_redis_data", "hset_redis_data", "increment_task_count_with_doc", "redis_hget",
             "download_from_minio", "file_lock", "calculate_file_md5", "read_minio_file_text",
             "download_as_bytesio", "get_doc_fulltext_opensearch")
    missing = [n for n in names if not callable(getattr(module, n, None))]
    assert not missing, f"missing {missing}"
    return f"write client {module.r!r}"


def _check_ocr(module) -> str:
    missing = [n for n in ("get_image_ocr_txt", "is_scanned_pdf") if not callable(getattr(module, n, None))]
    assert not missing, f"missing {missing}"
    return f"endpoint {module.ocr_service_endpoint}"


def _check_tracetools(module) -> str:
    missing = [n for n in ("get_langfuse_handler", "get_langfuse_trace", "langfuse_profiling")
               if not callable(getattr(module, n, None))]
    assert not missing, f"missing {missing}"
    if module.langfuse is None:
        return "tracing off (no LANGFUSE_HOST)"
    return f"tracing to {module.langfuse_config.get('LANGFUSE_HOST')}"


def _check_plugins(module) -> str:
    types = [str(p["typeNum"]) for p in module.plugins_chains_config]
    return f"{len(types)} enabled plugin chain(s): {', '.join(types)}"


CHECKS = {
    "mosswork_utils.connections": _check_connections,
    "mosswork_utils.datastore": _check_datastore,
    "mosswork_utils.ocr": _check_ocr,
    "mosswork_utils.notices": _check_notices,
    "mosswork_utils.plugins": _check_plugins,
    "mosswork_utils.tracetools": _check_tracetools,
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


def _probe(name, call):
    """Runs one reachability check; returns (ok, milliseconds, detail)."""
    start = time.perf_counter()
    try:
        ok, detail = call()
    except Exception as e:  # every failure is reported, none stops the doctor
        ok, detail = False, f"{type(e).__name__}: {e}"
    return ok, (time.perf_counter() - start) * 1000, detail


def doctor() -> int:
    from mosswork_utils import connections as c
    from mosswork_utils import exceptions as exc

    def redis_check(client):
        def run():
            fields = client.info("server")
            return client.ping(), f"redis {fields.get('redis_version', '?')}, mode {fields.get('redis_mode', '?')}"
        return run

    def sentinel_check():
        host, port = c.sentinel.discover_master(c.redis_cluster_service_name)
        replicas = c.sentinel.discover_slaves(c.redis_cluster_service_name)
        return True, f"master of {c.redis_cluster_service_name} at {host}:{port}, {len(replicas)} replica(s)"

    def rabbitmq_check():
        c.send_msg({"doctor": True}, "mosswork.doctor", "doctor", "fanout")
        return True, "published to exchange mosswork.doctor (fanout)"

    def vexlo_check():
        try:
            c.vexlo_client.scroll(collection_name="mosswork_doctor", limit=1)
            return True, "collection mosswork_doctor answered"
        except exc.UnexpectedResponse as e:
            if e.status_code == 404:
                return True, "answered 404 for a missing collection (service up)"
            return False, f"answered {e.status_code}"

    def minio_check():
        exists = c.minio_client.bucket_exists("mosswork-doctor")
        return True, f"bucket mosswork-doctor {'exists' if exists else 'absent'} (service up)"

    def opensearch_check():
        index = c.config.get("opensearch_index") or "mosswork-doctor"
        try:
            c.opensearch_client.get_source(index=index, id="document_doctor")
            return True, "document_doctor found"
        except exc.NotFoundError:
            return True, f"no document_doctor in {index} (service up)"
        except exc.TransportError as e:
            if e.status_code == 401:
                return False, "credentials refused (401)"
            raise

    def ocr_check():
        import socket
        from urllib.parse import urlsplit

        url = urlsplit(str(c.ocr_service_endpoint))
        with socket.create_connection((url.hostname, url.port or 80), timeout=5):
            return True, f"accepts connections on {url.hostname}:{url.port or 80}"

    checks = [("redis", redis_check(c.r))]
    if getattr(c, "sentinel", None) is not None:
        checks += [("sentinel", sentinel_check), ("redis master", redis_check(c.r_master)),
                   ("redis replica", redis_check(c.r_slaver))]
    checks += [("rabbitmq", rabbitmq_check), ("vexlo", vexlo_check), ("minio", minio_check),
               ("opensearch", opensearch_check), ("ocr", ocr_check)]
    print()
    unreachable = []
    for name, call in checks:
        ok, ms, detail = _probe(name, call)
        if not ok:
            unreachable.append(name)
        print(f"{name:14} {'reachable' if ok else 'UNREACHABLE':12} {ms:8.1f} ms  {detail}")
    print(f"{len(checks) - len(unreachable)} of {len(checks)} services reachable")
    if unreachable:
        print(f"doctor: cannot reach {', '.join(unreachable)}", file=sys.stderr)
        return 1
    return 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m mosswork_utils")
    sub = parser.add_subparsers(dest="command", required=True)
    sub.add_parser("selfcheck", help="import every module and run a short check of each")
    sub.add_parser("doctor", help="reach every configured service and report on each; "
                   "exit 1 when any is unreachable")
    sub.add_parser("demo", help="run the typical road of the service against the local servers")
    args = parser.parse_args(argv)
    if args.command == "selfcheck":
        return selfcheck()
    if args.command == "doctor":
        return doctor()
    if args.command == "demo":
        from mosswork_utils import demo

        return demo.main()
    return 2


if __name__ == "__main__":
    sys.exit(main())
