"""Coded notices: their fields, codes and registries, and what calling them logs."""

from __future__ import annotations

import logging
import threading

import pytest

from mosswork_utils import notices

CASES = [
    # class, prefix, code field, code, level
    (notices.BaseDebug, "Debug: ", "debug_code", "VYNLLM000D", logging.DEBUG),
    (notices.BaseInfo, "Info: ", "info_code", "VYNLLM000I", logging.INFO),
    (notices.BaseWarning, "Warning: ", "warning_code", "VYNLLM000W", logging.WARNING),
    (notices.SqlNoResultInfo, "SqlNoResultInfo: ", "info_code", "VYNLLM001I", logging.INFO),
]


class TestConstruction:
    @pytest.mark.parametrize("cls,prefix,field,code,level", CASES)
    def test_fields(self, cls, prefix, field, code, level):
        n = cls("订单 42 未找到")
        assert n.message == prefix + "订单 42 未找到"
        assert n.status_code == 200
        assert getattr(n, field) == code
        empty = cls()
        assert empty.message == prefix
        assert cls(message="x").message == prefix + "x"

    def test_base_info_without_argument(self):
        n = notices.BaseInfo()
        assert (n.message, n.status_code, n.info_code) == ("Info: ", 200, "VYNLLM000I")

    @pytest.mark.parametrize("cls", [c[0] for c in CASES])
    @pytest.mark.parametrize("bad", [42, None, b"bytes", ["x"], 1.5])
    def test_non_text_message_is_type_error(self, cls, bad):
        with pytest.raises(TypeError, match="can only concatenate str"):
            cls(bad)

    def test_text_subclass_and_odd_characters_kept(self):
        class Text(str):
            pass

        n = notices.BaseWarning(Text("a\x00b\ud800c"))
        assert n.message == "Warning: a\x00b\ud800c"

    def test_class_relations_and_registries(self):
        assert issubclass(notices.SqlNoResultInfo, notices.BaseInfo)
        assert not issubclass(notices.BaseInfo, notices.SqlNoResultInfo)
        for cls in (notices.BaseDebug, notices.BaseInfo, notices.BaseWarning):
            assert not issubclass(cls, BaseException)
        assert notices.debugs == (notices.BaseDebug,)
        assert notices.infos == (notices.BaseInfo, notices.SqlNoResultInfo)
        assert notices.warnings == (notices.BaseWarning,)
        assert all(isinstance(r, tuple) for r in (notices.debugs, notices.infos, notices.warnings))

    def test_fields_are_plain_attributes(self):
        n = notices.BaseInfo("a")
        n.message = "changed"
        n.extra = 1
        assert n.message == "changed" and n.extra == 1


class TestCalling:
    @pytest.mark.parametrize("cls,prefix,field,code,level", CASES)
    def test_logs_message_at_level(self, service_log, cls, prefix, field, code, level):
        result = cls("t")()
        assert result is None
        records = [r for r in service_log.records if r.name == "mosswork_utils"]
        assert [(r.levelno, r.getMessage(), r.args) for r in records] == [(level, prefix + "t", ())]

    def test_extra_arguments_are_ignored(self, recorder):
        notices.BaseWarning("disk low")(1, "two", three=3)
        assert recorder.messages() == [("warning", ("Warning: disk low",))]

    def test_message_is_the_single_argument_even_with_percent(self, recorder):
        notices.SqlNoResultInfo("100% of %s")()
        assert recorder.messages() == [("info", ("SqlNoResultInfo: 100% of %s",))]

    def test_changed_message_is_logged(self, recorder):
        n = notices.BaseDebug("a")
        n.message = "b"
        n()
        assert recorder.messages() == [("debug", ("b",))]

    def test_logger_errors_reach_the_caller(self, monkeypatch):
        import mosswork_utils.logger

        class Broken:
            def info(self, message):
                raise RuntimeError("handler failed")

        monkeypatch.setattr(mosswork_utils.logger, "logger", Broken())
        with pytest.raises(RuntimeError, match="handler failed"):
            notices.BaseInfo("x")()

    def test_many_threads(self, recorder):
        def work(i):
            for j in range(200):
                notices.BaseInfo(f"{i}-{j}")()

        threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        got = sorted(a[0] for _, a in recorder.messages())
        assert got == sorted(f"Info: {i}-{j}" for i in range(8) for j in range(200))
