"""The stand-ins for the service's own modules: configuration, logger and application error."""

from __future__ import annotations

import logging
from importlib import resources

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
