"""The package's stand-in service logger: %-style calls, and calls that pass the error as an
extra argument without a placeholder for it."""

from __future__ import annotations

import logging

from mosswork_utils.logger import logger


class TestRendering:
    def messages(self, caplog):
        return [r.getMessage() for r in caplog.records if r.name == "mosswork_utils"]

    def test_placeholders_are_filled_as_usual(self, service_log):
        logger.error("took %d ms for %s", 12, "kb")
        logger.info("100% done")
        assert self.messages(service_log) == ["took 12 ms for kb", "100% done"]

    def test_extra_arguments_follow_the_text(self, service_log, capsys):
        error = KeyError("document_plaintext")
        logger.error("General Exception:", error)
        logger.warning("two:", 1, "three")
        assert self.messages(service_log) == ["General Exception: 'document_plaintext'", "two: 1 three"]
        assert "Logging error" not in capsys.readouterr().err

    def test_one_mapping_argument(self, service_log):
        logger.error("state:", {"a": 1})
        assert self.messages(service_log) == ["state: {'a': 1}"]

    def test_filter_is_installed_once(self):
        import importlib

        import mosswork_utils.logger as module

        importlib.reload(module)
        assert len([f for f in logging.getLogger("mosswork_utils").filters
                    if type(f).__name__ == "_TrailingArguments"]) == 1
