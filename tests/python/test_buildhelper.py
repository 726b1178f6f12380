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

from mosswork_utils import buildhelper


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


class TestCopies:
    def test_copy_file(self, source, tmp_path):
        out = tmp_path / "out"
        out.mkdir()
        assert buildhelper.copy_file("requirements.txt", source, str(out)) is True
        assert (out / "requirements.txt").read_text() == "PyYAML\n"
        (source / "requirements.txt").write_text("changed\n")
        assert buildhelper.MyBuildExt.copy_file("requirements.txt", str(source), out)
        assert (out / "requirements.txt").read_text() == "changed\n"
        assert buildhelper.copy_file("absent.txt", source, out) is False
        assert not (out / "absent.txt").exists()
        with pytest.raises(FileNotFoundError):
            buildhelper.copy_file("requirements.txt", source, tmp_path / "no-such-dir")

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
        cmd = buildhelper.MyBuildExt(build_lib=str(lib), root_dir=source)
        assert cmd.run() == {"configs_files": 3, "requirements_copied": True}
        assert _tree(lib / "configs") == _tree(source / "configs")
        assert (lib / "requirements.txt").read_text() == "PyYAML\n"

    def test_inplace_targets_the_source_tree(self, source, tmp_path):
        lib = tmp_path / "lib"
        lib.mkdir()
        before = _tree(source)
        cmd = buildhelper.MyBuildExt(build_lib=str(lib), inplace=True, root_dir=source)
        cmd.run()
        assert _tree(source) == before
        assert list(lib.iterdir()) == []

    def test_missing_requirements_is_skipped(self, source, tmp_path):
        (source / "requirements.txt").unlink()
        lib = tmp_path / "lib"
        lib.mkdir()
        assert buildhelper.MyBuildExt(build_lib=lib, root_dir=source).run()["requirements_copied"] is False

    def test_default_root_is_the_package_source(self, root):
        assert Path(buildhelper.MyBuildExt().root_dir).resolve() == root.resolve()

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
