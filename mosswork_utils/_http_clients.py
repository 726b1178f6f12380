"""The published HTTP clients of connections: urllib3's PoolManager, minio-py's Minio and
opensearch-py's OpenSearch, each a subclass of the library's class whose requests go through the
package's native pool (libcurl, the GIL released while waiting).

connections calls the three factories once, with its native classes, at import.
"""

from __future__ import annotations

import time
from urllib.parse import urlencode

import minio
import minio.error
import opensearchpy
import urllib3

from . import exceptions as _exc


def published_pool(native):
    """PoolManager: urllib3's PoolManager whose urlopen is the native pool's. urllib3's own
    request() (fields, json) runs over it; its other methods, which hand out urllib3 connection
    pools, stay urllib3's."""

    class PoolManager(native, urllib3.PoolManager):
        __doc__ = native.__doc__

        def __init__(self, maxsize=10, retries=None, timeout=None):
            native.__init__(self, maxsize=maxsize, retries=retries, timeout=timeout)
            urllib3.PoolManager.__init__(self, maxsize=maxsize)

        def __repr__(self):
            return f"<PoolManager(maxsize={self.maxsize}, timeout={self.timeout})>"

    PoolManager.__module__ = "mosswork_utils.connections"
    PoolManager.__qualname__ = "PoolManager"
    return PoolManager


def _minio_error(error):
    """minio-py's error as the package's class of the same name (same fields, same text)."""
    if isinstance(error, minio.error.S3Error) and not isinstance(error, _exc.S3Error):
        return _exc.S3Error._of(error)
    if isinstance(error, minio.error.InvalidResponseError) and not isinstance(
            error, _exc.InvalidResponseError):
        return _exc.InvalidResponseError(error._code, error._content_type, error._body)
    if isinstance(error, minio.error.ServerError) and not isinstance(error, _exc.ServerError):
        return _exc.ServerError(str(error), error.status_code)
    return None


def published_minio(native, pool_cls, retry_cls):
    """Minio: minio-py's Minio, every method minio-py's own, sending through the native pool;
    its errors are the package's S3Error, InvalidResponseError and ServerError (subclasses of
    minio-py's). The native client underneath serves the verified download."""

    class Minio(minio.Minio, native):
        """minio-py's Minio over the package's native HTTP pool."""

        def __init__(self, endpoint, access_key=None, secret_key=None, session_token=None,
                     secure=True, region=None, http_client=None, credentials=None,
                     cert_check=True):
            if http_client is None:
                # minio-py's own defaults, on a native pool.
                http_client = pool_cls(
                    maxsize=10, timeout=300.0,
                    retries=retry_cls(total=5, backoff_factor=0.2,
                                      status_forcelist=[500, 502, 503, 504]))
            native.__init__(self, endpoint, access_key=access_key, secret_key=secret_key,
                            secure=secure, region=region,
                            http_client=http_client if isinstance(http_client, pool_cls)
                            else None)
            self._missing = None
            if endpoint is None or str(endpoint) == "":
                # Kept, so that a missing configuration key surfaces at the first call.
                self._missing = "the object store is not configured: no endpoint"
                self._http = http_client
                return
            minio.Minio.__init__(self, endpoint, access_key=access_key, secret_key=secret_key,
                                 session_token=session_token, secure=secure, region=region,
                                 http_client=http_client, credentials=credentials,
                                 cert_check=cert_check)

        def __getattr__(self, name):
            # Only reached for attributes minio-py's constructor would have set.
            if name.startswith("_") and not name.startswith("__") and self.__dict__.get("_missing"):
                raise ValueError(self.__dict__["_missing"])
            raise AttributeError(f"'{type(self).__name__}' object has no attribute '{name}'")

        def __del__(self):
            # minio-py empties its pool here; this one is shared by the whole process.
            pass

        def _url_open(self, *args, **kwargs):
            try:
                return super()._url_open(*args, **kwargs)
            except (minio.error.S3Error, minio.error.InvalidResponseError,
                    minio.error.ServerError) as error:
                ours = _minio_error(error)
                if ours is None:
                    raise
                raise ours.with_traceback(error.__traceback__) from None

    Minio.__module__ = "mosswork_utils.connections"
    Minio.__qualname__ = "Minio"
    return Minio


class NativeConnection(opensearchpy.Connection):
    """One OpenSearch host, reached through the native client's pool: opensearch-py's
    Urllib3HttpConnection, with the exchange made in C++."""

    def __init__(self, host="localhost", port=None, http_auth=None, use_ssl=False,
                 verify_certs=True, ssl_show_warn=True, native=None, **kwargs):
        self.headers = {}
        super().__init__(host=host, port=port, use_ssl=use_ssl, **kwargs)
        self.http_auth = None
        if isinstance(http_auth, (tuple, list)):
            http_auth = ":".join(http_auth)
        if isinstance(http_auth, str):
            self.headers.update(urllib3.make_headers(basic_auth=http_auth))
        elif http_auth is not None:
            self.http_auth = http_auth  # a callable giving headers for each request
        if native is None:
            raise opensearchpy.ImproperlyConfigured("NativeConnection needs the native client")
        self._native = native

    def perform_request(self, method, url, params=None, body=None, timeout=None, ignore=(),
                        headers=None):
        url = self.url_prefix + url
        if params:
            url = f"{url}?{urlencode(params)}"
        full_url = self.host + url
        start = time.time()
        orig_body = body
        request_headers = self.headers.copy()
        request_headers.update(headers or ())
        if self.http_compress and body:
            body = self._gzip_compress(body)
            request_headers["content-encoding"] = "gzip"
        if callable(self.http_auth):
            request_headers.update(self.http_auth(method, full_url, body))
        try:
            response = self._native._perform(method, full_url, body, request_headers,
                                             timeout or self.timeout)
        except _exc.SearchConnectionError as e:
            self.log_request_fail(method, full_url, url, orig_body, time.time() - start,
                                  exception=e)
            raise
        duration = time.time() - start
        raw_data = response.data.decode("utf-8", "surrogatepass")
        self._raise_warnings(response.headers.get_all("warning", ()))
        if not (200 <= response.status < 300) and response.status not in ignore:
            self.log_request_fail(method, full_url, url, orig_body, duration, response.status,
                                  raw_data)
            self._raise_error(response.status, raw_data, response.headers.get("content-type"))
        self.log_request_success(method, full_url, url, orig_body, response.status, raw_data,
                                 duration)
        return response.status, response.headers, raw_data

    def _raise_error(self, status_code, raw_data, content_type=None):
        # opensearch-py's classes by status, as the package's subclasses of them.
        raise _exc.TransportError._from_answer(status_code, raw_data, content_type)


_NO_VALUE = (None, "", b"", [], ())


def published_opensearch(native):
    """OpenSearch: opensearch-py's OpenSearch over NativeConnection, on the hosts and
    credentials the native client read from the same arguments; get_source with nothing but
    index and id stays native."""

    class OpenSearch(opensearchpy.OpenSearch, native):
        """opensearch-py's OpenSearch over the package's native HTTP pool."""

        def __init__(self, *address, hosts=None, http_auth=None, use_ssl=False,
                     verify_certs=True, ssl_show_warn=True, timeout=10.0, **kwargs):
            native.__init__(self, *address, hosts=hosts, http_auth=http_auth, use_ssl=use_ssl,
                            verify_certs=verify_certs, ssl_show_warn=ssl_show_warn,
                            timeout=timeout)
            # The address text is taken apart natively: a password may hold "@", "/", "#" or
            # "%", which urllib's parsing would cut or unquote.
            host_list, auth = self._connection_hosts()
            kwargs.setdefault("connection_class", NativeConnection)
            if issubclass(kwargs["connection_class"], NativeConnection):
                kwargs.setdefault("native", self)
            opensearchpy.OpenSearch.__init__(
                self, hosts=host_list, http_auth=http_auth if http_auth is not None else auth,
                use_ssl=use_ssl, verify_certs=verify_certs, ssl_show_warn=ssl_show_warn,
                timeout=timeout, **kwargs)

        def get_source(self, *, index, id, params=None, headers=None, **query):
            if (params is None and headers is None and not query and isinstance(index, str)
                    and isinstance(id, str) and index not in _NO_VALUE and id not in _NO_VALUE):
                return native.get_source(self, index=index, id=id)
            return opensearchpy.OpenSearch.get_source(self, index=index, id=id, params=params,
                                                      headers=headers, **query)

        def index(self, *args, **kwargs):
            # The index and body also positionally, as opensearch-py 2 and the earlier native
            # client took them; opensearch-py 3 takes keywords only.
            for name, value in zip(("index", "body"), args[:2]):
                if name in kwargs:
                    raise TypeError(f"index() got multiple values for argument '{name}'")
                kwargs[name] = value
            if len(args) > 2:
                raise TypeError("index() takes at most 2 positional arguments")
            return opensearchpy.OpenSearch.index(self, **kwargs)

        def __repr__(self):
            return native.__repr__(self)

    OpenSearch.__module__ = "mosswork_utils.connections"
    OpenSearch.__qualname__ = "OpenSearch"
    return OpenSearch
