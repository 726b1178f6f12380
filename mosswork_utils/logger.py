"""Stand-in for the service logger: a standard logging.Logger of the package."""

import logging


class _TrailingArguments(logging.Filter):
    """Renders logger.error("MinIO S3Error:", error) as the text followed by the error.

    A few calls pass the error as a second argument without a %-placeholder for it; plain logging
    would fail to format such a record and print a traceback instead of the line.
    """

    def filter(self, record: logging.LogRecord) -> bool:
        if record.args and isinstance(record.msg, str) and "%" not in record.msg:
            args = record.args if isinstance(record.args, tuple) else (record.args,)
            record.msg = " ".join([record.msg, *map(str, args)])
            record.args = None
        return True


logger = logging.getLogger("mosswork_utils")
# By name, so that a reloaded module does not add a second one.
if not any(type(f).__name__ == "_TrailingArguments" for f in logger.filters):
    logger.addFilter(_TrailingArguments())
