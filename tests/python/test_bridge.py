"""The bridge's shared pieces: configuration truth, error translation and the logger adapter."""

from __future__ import annotations

import errno
import logging
import sys
import threading

import pytest

from mosswork_utils import _bridge
from mosswork_utils.exceptions import ApplicationError


class TestConfigurationTruth:
    @pytest.mark.parametrize("value", [None, False, 0, 0.0, "", [], {}, ()])
    def test_off_values(self, value):
        assert _bridge.is_on(value) is False

    @pytest.mark.parametrize("value", ["False", "false", "0", " ", 1, -1, 0.5, [0], {"a": None}, True])
    def test_on_values(self, value):
        assert _bridge.is_on(value) is True

    def test_truth_errors_propagate(self):
        class Undecidable:
            def __bool__(self):
                raise ValueError("no truth")

        with pytest.raises(ValueError, match="no truth"):
            _bridge.is_on(Undecidable())

    @pytest.mark.parametrize(
        "value,tls",
        [("False", False), (False, False), (0, False), (None, False), ("", False),
         ("false", True), ("True", True), (True, True), ("no", True), (1, True), (" False", True)],
    )
    def test_tls_rule(self, value, tls):
        assert _bridge.tls_flag(value) is tls

    def test_default_applies_only_when_absent(self):
        cfg = {"present_none": None, "present_zero": 0}
        assert _bridge.config_value(cfg, "absent", "dflt") == "dflt"
        assert _bridge.config_value(cfg, "absent") is None
        assert _bridge.config_value(cfg, "present_none", "dflt") is None
        assert _bridge.config_value(cfg, "present_zero", 5) == 0
        with pytest.raises((TypeError, AttributeError)):
            _bridge.config_value(None, "redis_host")


class TestErrorTranslation:
    @pytest.mark.parametrize(
        "kind,cls",
        [("invalid_argument", ValueError), ("type_mismatch", TypeError), ("timeout", TimeoutError),
         ("connection", ConnectionError), ("parse", ValueError), ("protocol", RuntimeError),
         ("reply", RuntimeError), ("integrity", RuntimeError)],
    )
    def test_kinds(self, kind, cls):
        with pytest.raises(cls) as info:
            _bridge.raise_core_error(kind, "what happened: ü")
        assert str(info.value) == "what happened: ü"

    def test_application_error_is_the_service_class(self):
        with pytest.raises(ApplicationError) as info:
            _bridge.raise_core_error("application", "collection missing")
        assert info.value.message == "collection missing"
        assert str(info.value) == "collection missing"

    def test_io_errors_become_the_matching_os_error(self):
        with pytest.raises(FileNotFoundError) as info:
            _bridge.raise_core_error("io_enoent", "cannot open")
        e = info.value
        assert e.errno == errno.ENOENT and e.filename == "/no/such/file"
        assert "cannot open" in str(e) and "No such file or directory" in str(e)
        with pytest.raises(PermissionError):
            _bridge.raise_core_error("io_eacces", "cannot lock")
        with pytest.raises(OSError) as info:
            _bridge.raise_core_error("io_nopath", "cannot sync")
        assert info.value.errno == errno.EIO and info.value.filename is None


class TestLoggerAdapter:
    @pytest.mark.parametrize("level", ["debug", "info", "warning", "error"])
    @pytest.mark.parametrize("release", [True, False])
    def test_each_level_reaches_the_service_logger(self, service_log, level, release):
        _bridge.core_log(level, "文本 %s 100%", release)
        recs = [(r.levelname.lower(), r.getMessage()) for r in service_log.records]
        assert recs == [(level, "文本 %s 100%")]

    def test_debug_text_built_only_when_enabled(self, recorder):
        recorder.enabled_from = logging.INFO
        assert _bridge.core_log_lazily("debug", "costly") is False
        assert _bridge.core_log_lazily("info", "cheap") is True
        assert recorder.messages() == [("info", ("cheap",))]
        asked = [a[0] for n, a, _ in recorder.calls if n == "isEnabledFor"]
        assert asked == [logging.DEBUG, logging.INFO]

    def test_a_failing_logger_never_fails_the_core_call(self, monkeypatch):
        import mosswork_utils.logger

        class Broken:
            def isEnabledFor(self, level):  # noqa: N802
                return True

            def warning(self, text):
                raise RuntimeError("handler down")

        seen = []
        monkeypatch.setattr(mosswork_utils.logger, "logger", Broken())
        monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(u.exc_value))
        _bridge.core_log("warning", "x")
        assert len(seen) == 1 and isinstance(seen[0], RuntimeError)

    def test_logs_from_threads_with_the_gil_released(self, recorder):
        def work(i):
            for j in range(300):
                _bridge.core_log("info", f"{i}:{j}", True)

        threads = [threading.Thread(target=work, args=(i,)) for i in range(6)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        got = sorted(a[0] for _, a in recorder.messages())
        assert got == sorted(f"{i}:{j}" for i in range(6) for j in range(300))
