"""The build helper: its description, the data-file copies, and the wheel the build produces."""

from __future__ import annotations

import os
import re
import subprocess
import sys
import tomllib
import zipfile
from pathlib import Path

import pytest
from setuptools import Distribution
from setuptools.command.build_ext import build_ext

from mosswork_utils import buildhelper

ROOT = Path(__file__).resolve().parents[2]


class TestDescription:
    def test_fields_in_order(self):
        d = buildhelper.setup_description
        assert list(d) == ["name", "author", "version", "ext_modules", "cmdclass"]
        assert (d["name"], d["author"], d["version"]) == ("mosswork-utils", "mosswork", "1.0.0")
        (ext,) = d["ext_modules"]
        assert ext["name"] == "mosswork_utils.*" and ext["build_temp"] == "build"
        assert {"mosswork_utils.notices", "mosswork_utils.buildhelper"} <= set(ext["modules"])
        assert all(m.startswith("mosswork_utils.") for m in ext["modules"])
        assert d["cmdclass"] == {"build_ext": buildhelper.MyBuildExt}
        assert issubclass(buildhelper.MyBuildExt, build_ext)

    def test_the_build_uses_this_description(self, root):
        meta = tomllib.loads((root / "pyproject.toml").read_text())["project"]
        assert meta["name"] == buildhelper.setup_description["name"]
        assert meta["authors"] == [{"name": buildhelper.setup_description["author"]}]
        import mosswork_utils
        from mosswork_utils import notices

        assert mosswork_utils.__version__ == notices.__version__ == buildhelper.__version__ == "1.0.0"

    def test_runtime_requirements_agree(self, root):
        def names(lines):
            return sorted(l.split("#")[0].strip() for l in lines if l.split("#")[0].strip())

        req = (root / "requirements.txt").read_text().splitlines()
        deps = tomllib.loads((root / "pyproject.toml").read_text())["project"]["dependencies"]
        assert names(req) == sorted(deps)


def _tree(base: Path) -> dict[str, bytes]:
    return {str(p.relative_to(base)): p.read_bytes() for p in sorted(base.rglob("*")) if p.is_file()}


@pytest.fixture
def source(tmp_path: Path) -> Path:
    src = tmp_path / "src"
    (src / "configs" / "a" / "deeper").mkdir(parents=True)
    (src / "configs" / "service.yaml").write_text("service: {}\n")
    (src / "configs" / "a" / "b.yaml").write_text("b: 2\n")
    (src / "configs" / "a" / "deeper" / "名字.yaml").write_text("x: 值\n", encoding="utf-8")
    (src / "requirements.txt").write_text("PyYAML\n")
    return src


def command(**options) -> buildhelper.MyBuildExt:
    """The command as setuptools makes it: from a distribution, options set afterwards."""
    return buildhelper.MyBuildExt(Distribution(), **options)


class TestCopies:
    def test_copy_file(self, source, tmp_path):
        out = tmp_path / "out"
        out.mkdir()
        assert buildhelper.copy_file("requirements.txt", source, str(out)) is True
        assert (out / "requirements.txt").read_text() == "PyYAML\n"
        (source / "requirements.txt").write_text("changed\n")
        assert command().copy_file("requirements.txt", str(source), out)
        assert (out / "requirements.txt").read_text() == "changed\n"
        assert command().copy_file(path="absent.txt", source_dir=source, destination_dir=out) is False
        assert buildhelper.copy_file("absent.txt", source, out) is False
        assert not (out / "absent.txt").exists()

    @pytest.mark.parametrize("destination, error", [
        ("no-such-dir", FileNotFoundError), ("no-such-dir/deeper", FileNotFoundError),
        ("a-file", NotADirectoryError),
    ])
    def test_a_copy_into_a_missing_folder_names_the_folder(self, source, tmp_path, destination,
                                                           error):
        (tmp_path / "a-file").write_text("")
        with pytest.raises(error) as info:
            command().copy_file("requirements.txt", source, tmp_path / destination)
        assert info.value.filename == str(tmp_path / destination)
        assert "destination" in str(info.value)

    def test_deep_copy_from_another_directory(self, source, tmp_path, monkeypatch):
        out = tmp_path / "out"
        out.mkdir()
        elsewhere = tmp_path / "elsewhere"
        elsewhere.mkdir()
        monkeypatch.chdir(elsewhere)  # the walk is taken under src_dir, not the working directory
        assert buildhelper.deep_copy_file("configs", source, out) == 3
        assert _tree(out / "configs") == _tree(source / "configs")
        assert buildhelper.deep_copy_file("absent", source, out) == 0


class TestBuildCommand:
    def test_run_copies_into_build_lib(self, source, tmp_path, monkeypatch):
        lib = tmp_path / "lib"
        lib.mkdir()
        monkeypatch.chdir(tmp_path)
        cmd = command(build_lib=str(lib), root_dir=source)
        assert cmd.run() == {"configs_files": 3, "requirements_copied": True}
        assert _tree(lib / "configs") == _tree(source / "configs")
        assert (lib / "requirements.txt").read_text() == "PyYAML\n"

    def test_inplace_targets_the_source_tree(self, source, tmp_path):
        lib = tmp_path / "lib"
        lib.mkdir()
        before = _tree(source)
        cmd = command(build_lib=str(lib), inplace=True, root_dir=source)
        cmd.run()
        assert _tree(source) == before
        assert list(lib.iterdir()) == []

    def test_missing_requirements_is_skipped(self, source, tmp_path):
        (source / "requirements.txt").unlink()
        lib = tmp_path / "lib"
        lib.mkdir()
        assert command(build_lib=lib, root_dir=source).run()["requirements_copied"] is False

    def test_default_root_is_the_package_source(self, root, tmp_path):
        lib = tmp_path / "lib"
        lib.mkdir()
        command(build_lib=str(lib)).run()
        assert (lib / "requirements.txt").read_bytes() == (root / "requirements.txt").read_bytes()
        assert (lib / "configs" / "service.yaml").is_file()

    def test_copies_run_through_the_command(self, source, tmp_path):
        """run() copies with the command's own copy methods, so a subclass can adapt them."""
        calls = []

        class Recording(buildhelper.MyBuildExt):
            def copy_file(self, path, source_dir, destination_dir):
                calls.append(("copy_file", str(path)))
                return super().copy_file(path, source_dir, destination_dir)

            def deep_copy_file(self, path, src_dir, dst_dir):
                calls.append(("deep_copy_file", str(path)))
                return super().deep_copy_file(path, src_dir, dst_dir)

        lib = tmp_path / "lib"
        lib.mkdir()
        Recording(Distribution(), build_lib=str(lib), root_dir=str(source)).run()
        assert calls == [("deep_copy_file", "configs"), ("copy_file", "requirements.txt")]

    def test_command_line(self, source, tmp_path):
        lib = tmp_path / "lib"
        lib.mkdir()
        assert buildhelper.main(["--build-lib", str(lib), "--root-dir", str(source)]) == 0
        assert (lib / "configs" / "a" / "b.yaml").exists()
        with pytest.raises(ValueError, match="unknown argument"):
            buildhelper.main(["--bogus"])
        with pytest.raises(ValueError, match="needs a directory"):
            buildhelper.main(["--build-lib"])
        with pytest.raises(ValueError, match="build_lib"):
            buildhelper.main(["--root-dir", str(source)])


SETUP_PY = """\
from setuptools import Extension, setup
from mosswork_utils.buildhelper import MyBuildExt

setup(name="demo", version="0", ext_modules=[Extension("tiny", ["tiny.c"])],
      cmdclass={"build_ext": MyBuildExt})
"""

TINY_C = """\
#include <Python.h>
static struct PyModuleDef def = {PyModuleDef_HEAD_INIT, "tiny", NULL, -1, NULL};
PyMODINIT_FUNC PyInit_tiny(void) { return PyModule_Create(&def); }
"""


class TestSetuptoolsBuild:
    """A setup.py that maps build_ext to the command: the extension is built, the data copied."""

    @pytest.mark.parametrize("inplace", [False, True])
    def test_setup_py_build_ext(self, source, tmp_path, inplace):
        (source / "setup.py").write_text(SETUP_PY)
        (source / "tiny.c").write_text(TINY_C)
        before = _tree(source / "configs")
        out = tmp_path / "out"
        args = ["--inplace"] if inplace else ["--build-lib", str(out)]
        env = dict(os.environ, PYTHONPATH=str(ROOT))
        run = subprocess.run([sys.executable, str(source / "setup.py"), "build_ext", *args],
                             cwd=source, env=env, capture_output=True, text=True, timeout=300)
        assert run.returncode == 0, run.stdout + run.stderr
        built = source if inplace else out
        assert list(built.glob("tiny*.so")), run.stdout
        assert _tree(built / "configs") == before
        assert (built / "requirements.txt").read_text() == "PyYAML\n"
        if inplace:
            assert not (source / "build" / "configs").exists()

    def test_run_command_from_another_directory(self, source, tmp_path, monkeypatch):
        """root_dir is the build script's folder, whatever the working directory."""
        elsewhere = tmp_path / "elsewhere"
        elsewhere.mkdir()
        monkeypatch.chdir(elsewhere)
        out = tmp_path / "out"
        dist = Distribution({"name": "demo", "script_name": str(source / "setup.py"),
                             "cmdclass": {"build_ext": buildhelper.MyBuildExt}})
        dist.get_command_obj("build_ext").build_lib = str(out)
        out.mkdir()
        dist.run_command("build_ext")
        assert _tree(out / "configs") == _tree(source / "configs")
        assert list(elsewhere.iterdir()) == []


def test_without_setuptools_the_copy_step_still_runs(source, tmp_path):
    """The build environment of a wheel need not have setuptools; only the command needs it."""
    lib = tmp_path / "lib"
    lib.mkdir()
    code = (
        "import sys\n"
        "sys.modules['setuptools'] = None\n"
        "from mosswork_utils import buildhelper as b\n"
        "assert b.main(['--build-lib', sys.argv[1], '--root-dir', sys.argv[2]]) == 0\n"
        "try:\n    b.MyBuildExt\nexcept ModuleNotFoundError as e:\n    print(e)\n"
    )
    run = subprocess.run([sys.executable, "-c", code, str(lib), str(source)],
                         env=dict(os.environ, PYTHONPATH=str(ROOT)), capture_output=True,
                         text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout.startswith("MyBuildExt needs setuptools")
    assert _tree(lib / "configs") == _tree(source / "configs")


@pytest.mark.slow
class TestWheel:
    """Builds the wheel from another directory and installs it into a fresh environment."""

    @pytest.fixture(scope="class")
    @classmethod
    def installed(cls, tmp_path_factory):
        root = Path(__file__).resolve().parents[2]
        work = tmp_path_factory.mktemp("wheel")
        wheels = work / "dist"
        env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_PRELOAD")}
        subprocess.run(
            [sys.executable, "-m", "pip", "wheel", "-q", "--no-build-isolation", "--no-deps",
             "-w", str(wheels), str(root)],
            cwd=work, env=env, check=True,
        )
        (wheel,) = wheels.glob("mosswork_utils-1.0.0-*.whl")
        venv = work / "venv"
        subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True, env=env)
        subprocess.run(
            [str(venv / "bin" / "python"), "-m", "pip", "install", "-q", "--no-deps", "--no-index",
             str(wheel)],
            check=True, env=env,
        )
        return root, wheel, venv, work, env

    def test_wheel_holds_modules_core_and_data(self, installed):
        root, wheel, *_ = installed
        names = set(zipfile.ZipFile(wheel).namelist())
        expected_configs = {
            "mosswork_utils/" + str(p.relative_to(root)).replace(os.sep, "/")
            for p in (root / "configs").rglob("*")
            if p.is_file() and "__pycache__" not in p.parts
        }
        assert expected_configs <= names
        assert "mosswork_utils/requirements.txt" in names
        assert "mosswork_utils/libmosswork_core.so" in names
        for module in ("notices", "buildhelper", "_bridge"):
            assert any(re.fullmatch(rf"mosswork_utils/{module}\.cpython-.*\.so", n) for n in names)
        # Nothing compiled by an in-place build leaks in twice.
        assert len([n for n in names if "/notices." in n and n.endswith(".so")]) == 1

    def test_imports_from_any_directory(self, installed):
        root, wheel, venv, work, env = installed
        code = (
            "import mosswork_utils.notices as n, mosswork_utils.buildhelper as b, pathlib\n"
            "assert n.BaseInfo('x').message == 'Info: x'\n"
            "pkg = pathlib.Path(b.__file__).parent\n"
            "print(pkg)\n"
            "assert (pkg / 'configs' / 'plugins' / 'plugins_chains.yaml').is_file()\n"
            "assert (pkg / 'requirements.txt').is_file()\n"
            "print(b.setup_description['version'])\n"
        )
        out = subprocess.run(
            [str(venv / "bin" / "python"), "-c", code], cwd="/", env=env, check=True,
            capture_output=True, text=True,
        ).stdout.split()
        assert out[1] == "1.0.0"
        assert Path(out[0]).is_relative_to(venv)

    def test_datastore_imports_without_configs_on_the_path(self, installed, tmp_path):
        """Installed and started from a folder with no `configs`: the shipped one is used, and
        the modules say so once."""
        *_, venv, work, env = installed
        # The fresh environment has no dependencies installed: it borrows those of this one,
        # after its own site-packages, so the wheel's package is the one imported.
        import yaml

        shared = Path(yaml.__file__).parents[1]
        run_dir = tmp_path / "run"
        run_dir.mkdir()
        code = (
            "import site, sys\n"
            f"site.addsitedir({str(shared)!r})\n"
            "import mosswork_utils.datastore as d\n"
            "assert d.r is not None\n"
            "print(d.__file__)\n"
            "print(sys.modules['configs'].__file__)\n"
        )
        env = {k: v for k, v in env.items() if k != "MOSSWORK_CONFIG"}
        run = subprocess.run(
            [str(venv / "bin" / "python"), "-c", code], cwd=run_dir,
            env=env, capture_output=True, text=True, timeout=120,
        )
        assert run.returncode == 0, run.stderr
        module, where = map(Path, run.stdout.splitlines()[-2:])
        assert module.is_relative_to(venv)
        assert where.is_relative_to(venv) and where.parent.name == "configs"
        assert run.stderr.count(f"using the configuration package shipped in {where}") == 1, run.stderr

    def test_modules_find_the_core_through_origin(self, installed):
        *_, venv, work, env = installed
        (pkg,) = venv.glob("lib/python*/site-packages/mosswork_utils")
        needing_core = set()
        for so in pkg.glob("*.cpython-*.so"):
            dyn = subprocess.run(["readelf", "-d", str(so)], capture_output=True, text=True, check=True).stdout
            assert re.search(r"(RUNPATH|RPATH).*\[\$ORIGIN\]", dyn), dyn
            if "libmosswork_core.so" in dyn:
                needing_core.add(so.name.split(".")[0])
                ldd = subprocess.run(["ldd", str(so)], capture_output=True, text=True, check=True).stdout
                assert f"libmosswork_core.so => {pkg}/libmosswork_core.so" in ldd, ldd
        assert "buildhelper" in needing_core

    def test_modules_share_the_installed_bridge_library(self, installed):
        *_, venv, work, env = installed
        (pkg,) = venv.glob("lib/python*/site-packages/mosswork_utils")
        bridge = pkg / "libmosswork_bridge.so"
        dyn = subprocess.run(["readelf", "-d", str(bridge)], capture_output=True, text=True,
                             check=True).stdout
        assert re.search(r"(RUNPATH|RPATH).*\[\$ORIGIN\]", dyn), dyn
        for module in ("connections", "_bridge"):
            (so,) = pkg.glob(f"{module}.cpython-*.so")
            ldd = subprocess.run(["ldd", str(so)], capture_output=True, text=True,
                                 check=True).stdout
            assert f"libmosswork_bridge.so => {bridge}" in ldd, ldd
