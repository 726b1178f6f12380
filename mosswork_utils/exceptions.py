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
# minio-py's own classes are the bases, so `except minio.error.S3Error` catches what the published
# client raises, on its native paths too, and the text is minio-py's own.

import minio.error as _minio_error  # noqa: E402


class S3Error(_minio_error.S3Error):
    """The object store answered with an error (code, message, resource, request_id, host_id,
    bucket_name, object_name; response is the refused answer when there is one)."""

    @classmethod
    def _of(cls, error: _minio_error.S3Error) -> "S3Error":
        """The same error as this class."""
        return cls(error.response, error.code, error.message, error.resource, error.request_id,
                   error.host_id, error.bucket_name, error.object_name)


class InvalidResponseError(_minio_error.InvalidResponseError):
    """The object store answered with a body that is not an XML document."""


class ServerError(_minio_error.ServerError):
    """The object store answered with an HTTP server error and nothing to say why."""


# ---- HTTP services: OpenSearch and the vector database ------------------------------------------
# opensearch-py's classes are the bases: status_code, error, info and the text are its own.

import opensearchpy.exceptions as _os_errors  # noqa: E402


class TransportError(_os_errors.TransportError):
    """A request to OpenSearch failed: status_code is the HTTP status, or "N/A" without one."""

    @classmethod
    def _from_answer(cls, status_code: int, raw_data: str, content_type: str | None = None):
        """The error opensearch-py raises for this refused answer: the class by status, the
        error's type as error and the decoded JSON body as info."""
        import json

        error, info = raw_data, None
        kind = "text/plain" if content_type is None else content_type.split(";")[0].strip()
        if raw_data and kind == "application/json":
            try:
                info = json.loads(raw_data)
                error = info.get("error", error)
                if isinstance(error, dict) and "type" in error:
                    error = error["type"]
            except (ValueError, TypeError, AttributeError):
                pass
        return _BY_STATUS.get(status_code, TransportError)(status_code, error, info)


class SearchConnectionError(TransportError, _os_errors.ConnectionError, builtins.ConnectionError):
    """OpenSearch could not be reached, or did not answer in time."""

    def __init__(self, *args) -> None:
        super().__init__(*args)
        self.args = args  # OSError keeps only two of them; opensearch-py reads the third


class NotFoundError(TransportError, _os_errors.NotFoundError):
    """OpenSearch has no such document or index (status 404)."""


class RequestError(TransportError, _os_errors.RequestError):
    """OpenSearch refused the request as malformed (status 400)."""


class AuthenticationException(TransportError, _os_errors.AuthenticationException):
    """OpenSearch refused the credentials (status 401)."""


class AuthorizationException(TransportError, _os_errors.AuthorizationException):
    """The user may not do this (status 403)."""


class ConflictError(TransportError, _os_errors.ConflictError):
    """The document changed meanwhile, or already exists (status 409)."""


_BY_STATUS = {400: RequestError, 401: AuthenticationException, 403: AuthorizationException,
              404: NotFoundError, 409: ConflictError}


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
