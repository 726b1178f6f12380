"""Exception classes shared by every module of the package.

The client errors carry the names the service's engineers know from the usual Python clients
(redis-py, minio-py, opensearch-py, the vector database's client), so handlers read the same.
Connection and time-out errors also derive from the built-in ConnectionError and TimeoutError.
"""

from __future__ import annotations

import builtins

import redis.exceptions as _redis_exceptions
import redis.sentinel as _redis_sentinel
from redis._parsers.base import BaseParser as _RedisParser


class ApplicationError(Exception):
    """A failure the service reports to its users, built with one message text."""

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message


# ---- Redis -------------------------------------------------------------------------------------
# redis-py's own classes, so that `except redis.exceptions.ResponseError` and the rest catch what
# the package's clients raise. The connection and time-out errors are redis-py's subclassed once
# more, so that they are also the built-in ConnectionError and TimeoutError.

RedisError = _redis_exceptions.RedisError
ResponseError = _redis_exceptions.ResponseError
ReadOnlyError = _redis_exceptions.ReadOnlyError
NoScriptError = _redis_exceptions.NoScriptError
ExecAbortError = _redis_exceptions.ExecAbortError
NoPermissionError = _redis_exceptions.NoPermissionError
OutOfMemoryError = _redis_exceptions.OutOfMemoryError
DataError = _redis_exceptions.DataError
WatchError = _redis_exceptions.WatchError
PubSubError = _redis_exceptions.PubSubError
InvalidResponse = _redis_exceptions.InvalidResponse
LockError = _redis_exceptions.LockError
LockNotOwnedError = _redis_exceptions.LockNotOwnedError


class RedisConnectionError(_redis_exceptions.ConnectionError, builtins.ConnectionError):
    """The server could not be reached, or the connection broke, or the pool is exhausted."""


class RedisTimeoutError(_redis_exceptions.TimeoutError, builtins.TimeoutError):
    """The server did not answer within the socket time-out."""


class AuthenticationError(_redis_exceptions.AuthenticationError, RedisConnectionError):
    """The server refused the user name or password."""


class BusyLoadingError(_redis_exceptions.BusyLoadingError, RedisConnectionError):
    """The server is still loading its data set."""


class MaxClientsReachedError(_redis_exceptions.MaxClientsReachedError, RedisConnectionError):
    """The server has as many clients as it allows."""


class MasterNotFoundError(_redis_sentinel.MasterNotFoundError, RedisConnectionError):
    """No sentinel knows a master of the monitored service."""


class SlaveNotFoundError(_redis_sentinel.SlaveNotFoundError, RedisConnectionError):
    """No replica of the monitored service can be reached."""


# redis-py's connection-error classes an error reply can stand for, and ours that extend them.
_REDIS_CONNECTION_CLASSES = {
    _redis_exceptions.AuthenticationError: AuthenticationError,
    _redis_exceptions.BusyLoadingError: BusyLoadingError,
    _redis_exceptions.MaxClientsReachedError: MaxClientsReachedError,
    _redis_exceptions.ConnectionError: RedisConnectionError,
}


def _reply_error(text: str) -> RedisError:
    """The exception redis-py makes of an error reply (its class by the code word, the text
    without it), with its connection errors replaced by this module's."""
    error = _RedisParser.parse_error(text)
    ours = _REDIS_CONNECTION_CLASSES.get(type(error))
    if ours is not None:
        error = ours(*error.args, status_code=error.status_code)
    return error


# ---- object store ------------------------------------------------------------------------------


class S3Error(Exception):
    """The object store answered with an error."""

    def __init__(self, code, message, resource=None, request_id=None, host_id=None,
                 response=None, bucket_name=None, object_name=None):
        self.code = code
        self.message = message
        self.resource = resource
        self.request_id = request_id
        self.host_id = host_id
        self.response = response
        self.bucket_name = bucket_name
        self.object_name = object_name
        bucket = f", bucket_name: {bucket_name}" if bucket_name else ""
        obj = f", object_name: {object_name}" if object_name else ""
        super().__init__(f"S3 operation failed; code: {code}, message: {message}{bucket}{obj}")


# ---- HTTP services: OpenSearch and the vector database ------------------------------------------


class TransportError(Exception):
    """A request to OpenSearch failed: status_code is the HTTP status, or "N/A" without one."""

    @property
    def status_code(self):
        return self.args[0]

    @property
    def error(self):
        return self.args[1] if len(self.args) > 1 else None

    @property
    def info(self):
        return self.args[2] if len(self.args) > 2 else None

    def __str__(self) -> str:
        return f"{type(self).__name__}({self.status_code}, {self.error!r})"


class SearchConnectionError(TransportError, builtins.ConnectionError):
    """OpenSearch could not be reached, or did not answer in time."""


class NotFoundError(TransportError):
    """OpenSearch has no such document or index (status 404)."""


class UnexpectedResponse(Exception):
    """The vector database answered with a status other than success."""

    def __init__(self, status_code: int, reason_phrase: str, content: bytes, headers=None):
        self.status_code = status_code
        self.reason_phrase = reason_phrase
        self.content = content
        self.headers = headers or {}
        text = content.decode("utf-8", "replace")
        super().__init__(f"Unexpected Response: {status_code} ({reason_phrase})\nRaw response content:\n{text[:2000]}")


# ---- plain HTTP services: the OCR service ------------------------------------------------------


class HTTPResponse:
    """What an HTTPError keeps of the refused answer (the attributes of requests' Response)."""

    def __init__(self, status_code: int, content: bytes, url: str | None = None) -> None:
        self.status_code = status_code
        self.content = content
        self.url = url
        self.reason = _reason(status_code)

    @property
    def text(self) -> str:
        return self.content.decode("utf-8", "replace")

    @property
    def ok(self) -> bool:
        return self.status_code < 400

    def __repr__(self) -> str:
        return f"<Response [{self.status_code}]>"


def _reason(status_code: int) -> str:
    import http

    try:
        return http.HTTPStatus(status_code).phrase
    except ValueError:
        return ""


class HTTPError(builtins.OSError):
    """An HTTP service answered with status 400 or above, as requests' raise_for_status reports
    it; response holds status_code, reason, content and text."""

    def __init__(self, *args, response: HTTPResponse | None = None) -> None:
        super().__init__(*args)
        self.response = response

    @classmethod
    def from_status(cls, status_code: int, content: bytes, url: str | None = None) -> "HTTPError":
        response = HTTPResponse(status_code, content, url)
        kind = "Client" if status_code < 500 else "Server"
        where = f" for url: {url}" if url else ""
        return cls(f"{status_code} {kind} Error: {response.reason}{where}", response=response)


# ---- message broker ----------------------------------------------------------------------------


class AmqpError(Exception):
    """The broker refused a step of a publish: log-in, declaration or the message itself."""
