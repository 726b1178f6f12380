"""The plugin-chain sync: the YAML reader against PyYAML's safe loader, and the module's import
in fresh processes against the real Redis server (what lands in the hash "plugins_chains", the
lock that lets only one of several starting processes write, failures at import)."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
import textwrap
import time
import uuid
from pathlib import Path

import pytest
import redis as redis_py
import yaml

import mosswork_utils
from mosswork_utils import _bridge

ROOT = Path(__file__).resolve().parents[2]
HASH = "plugins_chains"
LOCK = "plugins_chains_updating"


# ---- the YAML reader ---------------------------------------------------------------------------

SAME_AS_SAFE_LOAD = [
    "a: 1", "a: '1'", "a: 0x1F", "a: 017", "a: 0b101", "a: 1_000", "a: 1:30", "a: -1:30", "a: 09",
    "a: 123456789012345678901234567890", "a: -0", "a: +12", "a: 0o17",
    "a: 1.5", "a: .5", "a: -.5", "a: 1.", "a: 1e5", "a: 1.0e+5", "a: 1:2:3.5",
    "a: .inf", "a: -.Inf", "a: .NaN",
    "a: yes", "a: No", "a: on", "a: OFF", "a: y", "a: ~", "a: null", "a:", "a: NULL", "a: 'null'",
    "a: 2024-01-05", "a: 2024-1-5", "a: 2024-01-05T10:20:30Z", "a: 2024-01-05 10:20:30.5 +08:00",
    "a: 2024-01-05t1:20:30.1234567-5",
    "- 1\n- [a, b]\n- {x: 1}", "", "---\n", "名字: 知识库", 'a: "x\\ty\\u00e9"',
    "a: |\n  line1\n  line2\n", "a: >\n  folded\n  text\n",
    "a: !!str 12", "a: !!int '12'", "a: !!float 3", "a: !!bool 'yes'", "a: !!null ''",
    "k: &A {x: 1, y: 2}\nm:\n  <<: *A\n  y: 3",
    "b1: &B1 {a: 1}\nb2: &B2 {a: 2, b: 2}\nm:\n  <<: [*B1, *B2]\n  c: 3",
    "1: a\n1.0: b\ntrue: c\nnull: d", "a: 1\nb: 2\na: 3",
    "plugins:\n  - {enabled: true, typeNum: 7}\n  - {enabled: false, typeNum: '7'}",
]


def typed(value):
    """A value with the type of every element spelled out, so 1, 1.0 and True differ."""
    if isinstance(value, dict):
        return ("dict", [(typed(k), typed(v)) for k, v in value.items()])
    if isinstance(value, list):
        return ("list", [typed(v) for v in value])
    if isinstance(value, float) and value != value:
        return ("float", "nan")
    return (type(value).__name__, repr(value))


class TestSafeReader:
    @pytest.mark.parametrize("text", SAME_AS_SAFE_LOAD)
    def test_values_and_types_match_the_safe_loader(self, text):
        assert typed(_bridge.safe_load(text)) == typed(yaml.safe_load(text))

    def test_the_packaged_plugin_file_reads_the_same(self):
        text = (ROOT / "configs" / "plugins" / "plugins_chains.yaml").read_text(encoding="utf-8")
        assert typed(_bridge.safe_load(text)) == typed(yaml.safe_load(text))

    @pytest.mark.parametrize("text, message", [
        ("a: [1, 2", "end of sequence flow not found"),
        ("a: !!python/object:os.system x", "could not determine a constructor for the tag"),
        ("a: !!binary aGk=", "could not determine a constructor for the tag"),
        ("---\na: 1\n---\nb: 2", "expected a single document"),
        ("? [1]\n: x", "found unhashable key"),
        ("a: !!int twelve", "not an integer"),
        # A stream on which the YAML library's own loader loops for ever, allocating.
        ("''a\n? x\n: c", "expected"),
    ])
    def test_what_a_safe_loader_refuses_is_a_value_error(self, text, message):
        with pytest.raises(ValueError, match=message):
            _bridge.safe_load(text)

    def test_alias_bombs_and_deep_nesting_are_refused_quickly(self):
        lines = ['l0: &l0 ["x","x","x","x","x","x","x","x","x","x"]']
        for i in range(1, 10):
            refs = ",".join([f"*l{i - 1}"] * 10)
            lines.append(f"l{i}: &l{i} [{refs}]")
        start = time.monotonic()
        with pytest.raises(ValueError, match="expands to more than"):
            _bridge.safe_load("\n".join(lines))
        # Deep nesting written out is refused by the parser itself; built through aliases it
        # is refused by the depth limit.
        with pytest.raises(ValueError):
            _bridge.safe_load("[" * 100000 + "]" * 100000)
        chain = ["n0: &n0 [x]"] + [f"n{i}: &n{i} [*n{i - 1}]" for i in range(1, 400)]
        with pytest.raises(ValueError, match="nested deeper than 256 levels"):
            _bridge.safe_load("\n".join(chain))
        assert time.monotonic() - start < 20


# ---- the module's import, in fresh processes ---------------------------------------------------

ENTRY = """\
  - enabled: {enabled}
    type: " {type} "
    typeNum: {num}
    moduleName: plugins.{type}
    name: {type} 插件
    description: " {type} description "
"""


def plugin_file(*entries: tuple) -> str:
    """entries: (enabled, type, typeNum as written in YAML)."""
    if not entries:
        return "plugins: []\n"
    return "plugins:\n" + "".join(
        ENTRY.format(enabled=e, type=t, num=n) for e, t, n in entries)


def published(type_name: str, num) -> dict:
    return {"type": type_name, "typeNum": num, "moduleName": f"plugins.{type_name}",
            "name": f"{type_name} 插件", "description": f"{type_name} description"}


@pytest.fixture
def raw():
    client = redis_py.Redis(host="127.0.0.1", port=6379, db=0, socket_timeout=5)
    saved = client.hgetall(HASH)
    client.delete(HASH, LOCK)
    yield client
    client.delete(HASH, LOCK)
    if saved:
        client.hset(HASH, mapping=saved)
    client.close()


@pytest.fixture
def package(tmp_path):
    """Writes a configuration package whose plugin file is the given text; returns a runner
    that imports the plugins module in a fresh interpreter with that package first on the path."""
    configs = tmp_path / "configs"
    (configs / "plugins").mkdir(parents=True)
    shutil.copy(ROOT / "configs" / "__init__.py", configs / "__init__.py")
    service = ROOT / "configs" / "service.yaml"

    def write(text: str) -> None:
        (configs / "plugins" / "plugins_chains.yaml").write_text(text, encoding="utf-8")

    def env(service_file: Path = service) -> dict:
        package_root = str(Path(mosswork_utils.__file__).resolve().parents[1])
        paths = [str(tmp_path), package_root] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
        return dict(os.environ, PYTHONPATH=os.pathsep.join(paths), MOSSWORK_CONFIG=str(service_file))

    def start(code: str, service_file: Path = service, *args: str) -> subprocess.Popen:
        return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code), *args],
                                env=env(service_file), cwd=tmp_path, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)

    def run(code: str = "import mosswork_utils.plugins", service_file: Path = service):
        proc = start(code, service_file)
        out, err = proc.communicate(timeout=120)
        return proc.returncode, out, err

    write.run = run
    write.start = start
    write.dir = tmp_path
    return write


def stored(raw) -> dict:
    return {k.decode(): json.loads(v) for k, v in raw.hgetall(HASH).items()}


def info_line(out: str) -> str:
    lines = [line for line in out.splitlines() if line.startswith("plugins_chains info:")]
    assert len(lines) == 1, out
    return lines[0]


class TestSyncAtImport:
    def test_enabled_entries_are_published_and_a_disabled_ones_field_deleted(self, raw, package):
        raw.hset(HASH, "3", '{"stale": true}')
        raw.hset(HASH, "99", '{"removed": true}')
        package(plugin_file((True, "retrieval", 1), (True, "chart", "'2'"), (False, "code", 3)))
        code, out, err = package.run()
        assert code == 0, err
        assert stored(raw) == {"1": published("retrieval", 1), "2": published("chart", "2")}
        assert info_line(out) == "plugins_chains info: " + str(
            [published("retrieval", 1), published("chart", "2")])
        # Stored as the JSON text the value helpers write, non-ASCII kept.
        assert raw.hget(HASH, "1") == json.dumps(published("retrieval", 1), ensure_ascii=False).encode()
        assert raw.exists(LOCK) == 0

    def test_existing_fields_are_rewritten_with_the_files_content(self, raw, package):
        raw.hset(HASH, "1", json.dumps({"type": "old"}))
        package(plugin_file((True, "retrieval", 1)))
        assert package.run()[0] == 0
        assert stored(raw) == {"1": published("retrieval", 1)}

    def test_quoted_and_unquoted_type_numbers_share_one_field_and_the_later_wins(self, raw, package):
        package(plugin_file((True, "first", 7), (True, "second", '"7"')))
        code, out, err = package.run()
        assert code == 0, err
        assert stored(raw) == {"7": published("second", "7")}
        assert "'typeNum': 7" in info_line(out) and "'typeNum': '7'" in info_line(out)

    def test_an_empty_list_removes_the_hash(self, raw, package):
        raw.hset(HASH, "1", "{}")
        package(plugin_file())
        code, out, _ = package.run()
        assert code == 0 and info_line(out) == "plugins_chains info: []"
        assert raw.exists(HASH) == 0

    def test_module_values_and_a_later_sync(self, raw, package):
        package(plugin_file((True, "a", 1), (False, "b", 2)) + "extra: kept\n")
        code, out, err = package.run("""
            import json
            import mosswork_utils.plugins as p
            from mosswork_utils import datastore
            print("FILE", json.dumps(p.plugins_chains_config_f, ensure_ascii=False))
            datastore.hset_redis_data("plugins_chains", "5", {"stray": 1})
            p.plugins_chains_config = p.plugins_chains_config + [dict(p.plugins_chains_config[0], typeNum=9)]
            p.redis_update_plugins_chains()
        """)
        assert code == 0, err
        file_line = [line for line in out.splitlines() if line.startswith("FILE ")][0]
        assert json.loads(file_line[5:])["extra"] == "kept"
        assert json.loads(file_line[5:])["plugins"][1]["enabled"] is False
        assert stored(raw) == {"1": published("a", 1), "9": dict(published("a", 1), typeNum=9)}


class TestImportFailures:
    @pytest.mark.parametrize("text, error", [
        ("plugins: [\n", "ValueError"),
        ("other: []\n", "KeyError: 'plugins'"),
        ("plugins:\n  - {type: a, typeNum: 1}\n", "KeyError: 'enabled'"),
        ("plugins:\n  - {enabled: yes, type: a, typeNum: 1, moduleName: m, description: d}\n",
         "KeyError: 'name'"),
        ("plugins:\n  - {enabled: true, type: 5, typeNum: 1, moduleName: m, name: n, description: d}\n",
         "AttributeError: 'int' object has no attribute 'strip'"),
    ])
    def test_a_broken_file_fails_the_import(self, raw, package, text, error):
        raw.hset(HASH, "1", "{}")
        package(text)
        code, _, err = package.run()
        assert code != 0 and error in err
        assert raw.hgetall(HASH) == {b"1": b"{}"}

    def test_a_disabled_entry_needs_only_its_flag(self, raw, package):
        package("plugins:\n  - {enabled: false}\n  - {enabled: 0, type: x}\n")
        code, out, err = package.run()
        assert code == 0, err
        assert info_line(out) == "plugins_chains info: []"

    def test_unreachable_redis_is_swallowed_silently(self, package, tmp_path):
        service = yaml.safe_load((ROOT / "configs" / "service.yaml").read_text(encoding="utf-8"))
        service["service"]["redis_port"] = 1
        broken = tmp_path / "service.yaml"
        broken.write_text(yaml.safe_dump(service), encoding="utf-8")
        package(plugin_file((True, "a", 1)))
        code, out, err = package.run("import mosswork_utils.plugins; print('IMPORTED')", broken)
        assert code == 0, err
        assert "IMPORTED" in out and info_line(out)
        assert "Traceback" not in err and "Error" not in err


COUNTING_CHILD = """
    import json, sys, time
    from mosswork_utils import datastore
    writes = []
    def counting(name, original, pause):
        def call(*args, **kwargs):
            writes.append(name)
            time.sleep(pause)
            return original(*args, **kwargs)
        return call
    pause = float(sys.argv[2])
    datastore.hset_redis_data = counting("hset", datastore.hset_redis_data, pause)
    datastore.hdel_redis_data = counting("hdel", datastore.hdel_redis_data, pause)
    time.sleep(max(0.0, float(sys.argv[1]) - time.time()))
    import mosswork_utils.plugins
    print("WRITES", json.dumps(writes), flush=True)
"""


def writes_of(out: str) -> list:
    return json.loads([line for line in out.splitlines() if line.startswith("WRITES ")][0][7:])


class TestOneWriterAtATime:
    def test_a_process_starting_while_the_lock_is_held_writes_nothing(self, raw, package):
        raw.hset(HASH, "3", '{"old": 1}')
        package(plugin_file((True, "a", 1), (False, "b", 3)))
        raw.set(LOCK, "someone-else", px=20000)
        proc = package.start(COUNTING_CHILD, ROOT / "configs" / "service.yaml", str(time.time()), "0")
        out, err = proc.communicate(timeout=120)
        assert proc.returncode == 0, err
        assert info_line(out) and writes_of(out) == []
        assert raw.hgetall(HASH) == {b"3": b'{"old": 1}'}
        assert raw.get(LOCK) == b"someone-else"

    def test_two_processes_importing_at_once_only_one_writes(self, raw, package):
        raw.hset(HASH, "3", '{"old": 1}')
        package(plugin_file((True, "a", 1), (True, "b", 2), (False, "c", 3)))
        # Both wait for the same instant; the winner's writes take 0.4 s each, so the loser's
        # attempt falls well inside the winner's hold of the lock.
        at = time.time() + 4
        procs = [package.start(COUNTING_CHILD, ROOT / "configs" / "service.yaml", str(at), "0.4")
                 for _ in range(2)]
        results = []
        for proc in procs:
            out, err = proc.communicate(timeout=120)
            assert proc.returncode == 0, err
            results.append(writes_of(out))
        assert sorted(results, key=len) == [[], ["hdel", "hset", "hset"]]
        assert stored(raw) == {"1": published("a", 1), "2": published("b", 2)}
        assert raw.exists(LOCK) == 0
