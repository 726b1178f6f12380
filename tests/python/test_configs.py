"""The stand-ins for the service's own modules: configuration, logger and application error."""

from __future__ import annotations

import logging
import os
import shutil
import socket
import subprocess
import sys
from importlib import resources
from pathlib import Path

import pytest
import yaml

import configs
import mosswork_utils.exceptions
import mosswork_utils.logger

# Every key the package reads from the "service" section.
SERVICE_KEYS = [
    "redis_host", "redis_port", "redis_username", "redis_password", "redis_db",
    "redis_pool_max_connections", "redis_cluster", "redis_sentinel_servers",
    "redis_cluster_service_name", "rabbitmq_host", "rabbitmq_port", "rabbitmq_username",
    "rabbitmq_password", "rabbitmq_vhost", "vexlo_host", "vexlo_port", "vexlo_api_key",
    "minio_endpoint", "minio_access_key", "minio_secret_key", "opensearch_https",
    "opensearch_cluster", "opensearch_hosts", "opensearch_user", "opensearch_passwd",
    "opensearch_host", "ocr_service_endpoint", "enhanced_pdf_task_limit", "kb_task_limit",
    "opensearch_index", "LANGFUSE_HOST", "LANGFUSE_PUBLIC_KEY", "LANGFUSE_SECRET_KEY",
    "build_version", "build_date",
]


class TestGetConfigs:
    def test_default_file_names_every_key_for_loopback(self, monkeypatch):
        monkeypatch.delenv(configs.ENV_VAR, raising=False)
        got = configs.get_configs("service")
        assert list(got) == ["service"]
        section = got["service"]
        assert [k for k in SERVICE_KEYS if k not in section] == []
        assert section["redis_host"] == "127.0.0.1"
        assert all(len(pair) == 2 for pair in section["redis_sentinel_servers"])
        assert section["minio_endpoint"].startswith("127.0.0.1:")

    def test_file_named_by_environment(self, monkeypatch, tmp_path):
        p = tmp_path / "c.yaml"
        p.write_text("service:\n  redis_host: 10.0.0.9\n  名字: 值\nother:\n  a: 1\n", encoding="utf-8")
        monkeypatch.setenv(configs.ENV_VAR, str(p))
        assert configs.get_configs("service") == {"service": {"redis_host": "10.0.0.9", "名字": "值"}}
        assert configs.get_configs("other") == {"other": {"a": 1}}
        assert configs.get_configs("absent") == {"absent": None}
        # Read at each call: a change of the file is seen by the next call.
        p.write_text("service:\n  redis_host: changed\n", encoding="utf-8")
        assert configs.get_configs("service")["service"]["redis_host"] == "changed"

    def test_missing_file_names_it(self, monkeypatch, tmp_path):
        missing = tmp_path / "nope.yaml"
        monkeypatch.setenv(configs.ENV_VAR, str(missing))
        with pytest.raises(FileNotFoundError) as info:
            configs.get_configs("service")
        assert str(missing) in str(info.value)

    @pytest.mark.parametrize("text", ["service: [unclosed\n", "- a\n- b\n", "just text\n", b"\xff\xfe\x00"])
    def test_malformed_file_names_it(self, monkeypatch, tmp_path, text):
        p = tmp_path / "bad.yaml"
        if isinstance(text, bytes):
            p.write_bytes(text)
        else:
            p.write_text(text)
        monkeypatch.setenv(configs.ENV_VAR, str(p))
        with pytest.raises(ValueError) as info:
            configs.get_configs("service")
        assert str(p) in str(info.value)

    def test_empty_file_has_no_sections(self, monkeypatch, tmp_path):
        p = tmp_path / "empty.yaml"
        p.write_text("")
        monkeypatch.setenv(configs.ENV_VAR, str(p))
        assert configs.get_configs("service") == {"service": None}


class TestPluginList:
    def test_resource_is_a_realistic_list(self):
        text = resources.files("configs").joinpath("plugins/plugins_chains.yaml").read_text("utf-8")
        plugins = yaml.safe_load(text)["plugins"]
        assert len(plugins) >= 4
        assert [p for p in plugins if not p["enabled"]], "one entry is disabled"
        assert any(isinstance(p["typeNum"], str) for p in plugins), "one typeNum is quoted"
        keys = {"enabled", "type", "typeNum", "moduleName", "name", "description"}
        assert all(keys <= set(p) for p in plugins)
        nums = [str(p["typeNum"]) for p in plugins]
        assert len(nums) == len(set(nums))


class TestServiceStandIns:
    def test_logger_is_the_package_logger(self):
        assert isinstance(mosswork_utils.logger.logger, logging.Logger)
        assert mosswork_utils.logger.logger.name == "mosswork_utils"

    def test_application_error_carries_its_message(self):
        e = mosswork_utils.exceptions.ApplicationError("状态 500: boom")
        assert isinstance(e, Exception)
        assert e.message == "状态 500: boom" and str(e) == "状态 500: boom"
        with pytest.raises(TypeError):
            mosswork_utils.exceptions.ApplicationError()


class TestShippedConfiguration:
    """Without a `configs` package on the path the modules use the one installed inside the
    package, and say so once."""

    @pytest.fixture
    def installed_like(self, tmp_path):
        """A package directory laid out as an installation: the built modules beside a copy of
        configs/ (the source tree itself stays off the path)."""
        src = Path(mosswork_utils.__file__).parent
        pkg = tmp_path / "site" / "mosswork_utils"
        pkg.mkdir(parents=True)
        for f in src.iterdir():
            if f.is_file():
                (pkg / f.name).symlink_to(f)
        shutil.copytree(Path(configs.__file__).parent, pkg / "configs",
                        ignore=shutil.ignore_patterns("__pycache__"))
        # Redis on a closed port: the plugin sync fails quietly instead of writing the hash.
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            closed = s.getsockname()[1]
        service = yaml.safe_load((pkg / "configs" / "service.yaml").read_text(encoding="utf-8"))
        service["service"]["redis_port"] = closed
        cfg = tmp_path / "service.yaml"
        cfg.write_text(yaml.safe_dump(service), encoding="utf-8")
        return pkg, cfg

    def test_modules_import_and_warn_once(self, installed_like, tmp_path):
        pkg, cfg = installed_like
        code = (
            "import sys, mosswork_utils.datastore, mosswork_utils.plugins as p\n"
            "print(sys.modules['configs'].__file__)\n"
            "print(len(p.plugins_chains_config))\n"
        )
        env = dict(os.environ, PYTHONPATH=str(pkg.parent), MOSSWORK_CONFIG=str(cfg))
        run = subprocess.run([sys.executable, "-c", code], env=env, cwd=tmp_path,
                             capture_output=True, text=True, timeout=120)
        assert run.returncode == 0, run.stderr
        *_, where, enabled = run.stdout.splitlines()
        assert where == str(pkg / "configs" / "__init__.py")
        assert int(enabled) > 0
        warning = f"using the configuration package shipped in {where}"
        assert run.stderr.count(warning) == 1, run.stderr

    def test_an_error_inside_configs_is_not_mistaken_for_its_absence(self, installed_like,
                                                                     tmp_path):
        pkg, cfg = installed_like
        broken = tmp_path / "host" / "configs"
        broken.mkdir(parents=True)
        (broken / "__init__.py").write_text("import no_such_module_of_the_service\n")
        env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(broken.parent), str(pkg.parent)]),
                   MOSSWORK_CONFIG=str(cfg))
        run = subprocess.run([sys.executable, "-c", "import mosswork_utils.connections"],
                             env=env, cwd=tmp_path, capture_output=True, text=True, timeout=60)
        assert run.returncode != 0
        assert run.stderr.splitlines()[-1] == (
            "ModuleNotFoundError: No module named 'no_such_module_of_the_service'")
        assert "shipped" not in run.stderr
