# Type stub of the connections module: the service's shared clients, built once from the
# configuration section "service", and the factories and publisher built on them.
import builtins
import os
from collections.abc import Iterator, Mapping, Sequence
from types import TracebackType
from typing import Any, overload

import redis
import redis.client
import redis.sentinel

from typing_extensions import Self

import minio as _minio
import opensearchpy as _opensearchpy
import urllib3 as _urllib3

from mosswork_utils._native import pybind11_type

__version__: str

# The native bases: the pool, execute_command and the commands served in C++.
class _RedisBase(metaclass=pybind11_type):
    @overload
    def __init__(self, _client: _RedisBase) -> None: ...
    @overload
    def __init__(
        self,
        host: Any = "localhost",
        port: Any = 6379,
        db: Any = 0,
        password: Any = None,
        socket_timeout: Any = None,
        max_connections: Any = None,
        username: Any = None,
    ) -> None: ...
    def execute_command(self, *args: Any, **kwargs: Any) -> Any: ...
    def get(self, name: Any) -> bytes | None: ...
    def delete(self, *args: Any) -> int: ...
    def exists(self, *args: Any) -> int: ...
    def ttl(self, name: Any) -> int: ...
    def incr(self, name: Any, amount: Any = 1) -> int: ...
    def hget(self, name: Any, key: Any) -> bytes | None: ...
    def hgetall(self, name: Any) -> dict[bytes, bytes]: ...
    def hdel(self, name: Any, *args: Any) -> int: ...
    def hexists(self, name: Any, key: Any) -> bool: ...
    def hlen(self, name: Any) -> int: ...
    def sadd(self, name: Any, *args: Any) -> int: ...
    def srem(self, name: Any, *args: Any) -> int: ...
    def scard(self, name: Any) -> int: ...
    def smembers(self, name: Any) -> builtins.set[bytes]: ...
    def connection_counts(self) -> tuple[int, int]: ...
    def reset_pool(self) -> None: ...

class _Connection(metaclass=pybind11_type):
    # Made by _RedisBase._dedicated only.
    def __init__(self, *args: Any, **kwargs: Any) -> None: ...
    def command(self, *args: Any) -> Any: ...
    def round_trip(self, commands: list[Sequence[Any]]) -> list[Any]: ...
    def send(self, *args: Any) -> None: ...
    def read(self, timeout: Any = None) -> tuple[Any] | None: ...
    def close(self) -> None: ...
    def release(self) -> None: ...
    @property
    def is_open(self) -> bool: ...

class _SentinelBase(metaclass=pybind11_type):
    def __init__(
        self,
        sentinels: Sequence[Sequence[Any]],
        password: Any = None,
        socket_timeout: Any = None,
        username: Any = None,
        db: Any = 0,
        min_other_sentinels: int = 0,
    ) -> None: ...
    def discover_master(self, service_name: str) -> tuple[str, int]: ...
    def discover_slaves(self, service_name: str) -> list[tuple[str, int]]: ...
    def master_for(
        self,
        service_name: str,
        password: Any = None,
        socket_timeout: Any = None,
        db: Any = None,
        username: Any = None,
        max_connections: Any = None,
    ) -> _RedisBase: ...
    def slave_for(
        self,
        service_name: str,
        password: Any = None,
        socket_timeout: Any = None,
        db: Any = None,
        username: Any = None,
        max_connections: Any = None,
    ) -> _RedisBase: ...

def _parse_reply(client: Any, command_name: Any, reply: Any, options: dict[str, Any]) -> Any: ...
def _execute_stack(
    pipeline: Any, stack: list[Any], transaction: bool, raise_on_error: bool
) -> list[Any]: ...

# The published classes: redis-py's own, over the native bases, so that every redis-py method
# works and isinstance(r, redis.Redis) holds.
class Redis(_RedisBase, redis.Redis):  # type: ignore[misc]
    def __init__(
        self,
        host: Any = "localhost",
        port: Any = 6379,
        db: Any = 0,
        password: Any = None,
        socket_timeout: Any = ...,
        max_connections: Any = None,
        username: Any = None,
        **kwargs: Any,
    ) -> None: ...
    def pipeline(self, transaction: bool = True, shard_hint: Any = None) -> Pipeline: ...
    def pubsub(self, **kwargs: Any) -> PubSub: ...
    def lock(  # type: ignore[override]
        self,
        name: Any,
        timeout: float | None = None,
        sleep: float = 0.1,
        blocking: bool = True,
        blocking_timeout: float | None = None,
        lock_class: Any = None,
        thread_local: bool = True,
        raise_on_release_error: bool = True,
    ) -> Any: ...
    def close(self) -> None: ...

class Pipeline(redis.client.Pipeline):  # type: ignore[misc]
    def __init__(self, client: Redis, transaction: bool = True, shard_hint: Any = None) -> None: ...
    def immediate_execute_command(self, *args: Any, **options: Any) -> Any: ...
    def execute(self, raise_on_error: bool = True) -> list[Any]: ...

class PubSub(redis.client.PubSub):
    def __init__(self, client: Redis, **kwargs: Any) -> None: ...
    def parse_response(self, block: bool = True, timeout: float | None = 0) -> Any: ...

class Lock(metaclass=pybind11_type):
    @property
    def name(self) -> str: ...
    @property
    def timeout(self) -> float | None: ...
    @property
    def blocking(self) -> bool: ...
    @property
    def sleep(self) -> float: ...
    @property
    def blocking_timeout(self) -> float | None: ...
    def acquire(
        self,
        sleep: float | None = None,
        blocking: bool | None = None,
        blocking_timeout: float | None = None,
        token: Any = None,
    ) -> bool: ...
    def release(self) -> None: ...
    def locked(self) -> bool: ...
    def owned(self) -> bool: ...
    def extend(self, additional_time: float, replace_ttl: bool = False) -> bool: ...
    def reacquire(self) -> bool: ...
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None: ...

class Sentinel(_SentinelBase, redis.sentinel.Sentinel):  # type: ignore[misc]
    def __init__(
        self,
        sentinels: Sequence[Sequence[Any]],
        min_other_sentinels: int = 0,
        sentinel_kwargs: dict[str, Any] | None = None,
        force_master_ip: str | None = None,
        **connection_kwargs: Any,
    ) -> None: ...
    def master_for(  # type: ignore[override]
        self,
        service_name: str,
        redis_class: Any = None,
        connection_pool_class: Any = None,
        **kwargs: Any,
    ) -> Redis: ...
    def slave_for(  # type: ignore[override]
        self,
        service_name: str,
        redis_class: Any = None,
        connection_pool_class: Any = None,
        **kwargs: Any,
    ) -> Redis: ...

class Retry(metaclass=pybind11_type):
    def __init__(
        self, total: int = 10, backoff_factor: float = 0.0, status_forcelist: Any = None
    ) -> None: ...
    @property
    def total(self) -> int: ...
    @property
    def backoff_factor(self) -> float: ...
    @property
    def status_forcelist(self) -> list[int]: ...

class HTTPResponse(metaclass=pybind11_type):
    # An answer of the pool, as urllib3's HTTPResponse: read whole (data) or streamed (read).
    @property
    def status(self) -> int: ...
    @property
    def reason(self) -> str: ...
    @property
    def url(self) -> str: ...
    @property
    def headers(self) -> _urllib3.HTTPHeaderDict: ...
    @property
    def data(self) -> bytes: ...
    @property
    def bytes_read(self) -> int: ...
    @property
    def closed(self) -> bool: ...
    def read(
        self, amt: int | None = None, decode_content: Any = None, cache_content: bool = False
    ) -> bytes: ...
    def stream(self, amt: int | None = 65536, decode_content: Any = None) -> Iterator[bytes]: ...
    def getheader(self, name: str, default: Any = None) -> Any: ...
    def tell(self) -> int: ...
    def close(self) -> None: ...
    def release_conn(self) -> None: ...
    def drain_conn(self) -> None: ...
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None: ...

ObjectStream = HTTPResponse

class _NativePoolManager(metaclass=pybind11_type):
    def __init__(self, maxsize: int = 10, retries: Retry | None = None, timeout: Any = None) -> None: ...
    @property
    def maxsize(self) -> int: ...
    @property
    def timeout(self) -> float | None: ...
    # Sent through the native pool with its retry policy; failures as urllib3's MaxRetryError.
    def urlopen(  # type: ignore[override]
        self,
        method: str,
        url: str,
        body: Any = None,
        headers: Any = None,
        preload_content: bool = True,
        timeout: Any = None,
        **kwargs: Any,
    ) -> HTTPResponse: ...
    # Connections of this process: (open, idle).
    def connection_counts(self) -> tuple[int, int]: ...

# urllib3's PoolManager whose urlopen is the native pool's (urllib3's request() runs over it).
class PoolManager(_NativePoolManager, _urllib3.PoolManager):  # type: ignore[misc]
    def __init__(self, maxsize: int = 10, retries: Retry | None = None, timeout: Any = None) -> None: ...

class Object(metaclass=pybind11_type):
    # What the native client's stat_object answers (the published Minio answers minio-py's).
    @property
    def bucket_name(self) -> str: ...
    @property
    def object_name(self) -> str: ...
    @property
    def size(self) -> int: ...
    @property
    def etag(self) -> str: ...
    @property
    def content_type(self) -> str: ...
    @property
    def last_modified(self) -> Any: ...
    @property
    def metadata(self) -> dict[str, str]: ...
    @property
    def version_id(self) -> str | None: ...

class _NativeMinio(metaclass=pybind11_type):
    def __init__(
        self,
        endpoint: Any,
        access_key: Any = None,
        secret_key: Any = None,
        secure: bool = False,
        http_client: PoolManager | None = None,
        region: Any = None,
    ) -> None: ...
    def stat_object(self, bucket_name: str, object_name: str) -> Object: ...
    def get_object(
        self, bucket_name: str, object_name: str, offset: int = 0, length: int = 0
    ) -> HTTPResponse: ...
    def put_object(
        self,
        bucket_name: str,
        object_name: str,
        data: Any,
        length: int,
        content_type: str = "application/octet-stream",
    ) -> Any: ...
    def fput_object(
        self,
        bucket_name: str,
        object_name: str,
        file_path: str | os.PathLike[str],
        content_type: str = "application/octet-stream",
    ) -> Any: ...
    def make_bucket(self, bucket_name: str) -> None: ...
    def bucket_exists(self, bucket_name: str) -> bool: ...
    def remove_object(self, bucket_name: str, object_name: str) -> None: ...

# minio-py's Minio: every method minio-py's own, over the native pool; the native client under
# it serves the verified download.
class Minio(_minio.Minio, _NativeMinio):  # type: ignore[misc]
    def __init__(
        self,
        endpoint: Any,
        access_key: str | None = None,
        secret_key: str | None = None,
        session_token: str | None = None,
        secure: bool = True,
        region: str | None = None,
        http_client: Any = None,
        credentials: Any = None,
        cert_check: bool = True,
    ) -> None: ...

class _NativeOpenSearch(metaclass=pybind11_type):
    def __init__(
        self,
        *args: Any,
        hosts: Any = None,
        http_auth: Any = None,
        use_ssl: bool = False,
        verify_certs: bool = True,
        ssl_show_warn: bool = True,
        timeout: float = 10.0,
    ) -> None: ...
    @property
    def address(self) -> str | None: ...
    @property
    def hosts(self) -> Any: ...
    @property
    def use_ssl(self) -> bool: ...
    def get_source(self, index: str, id: Any) -> Any: ...
    def index(self, index: str, body: Any, id: Any, refresh: bool = False) -> Any: ...

# opensearch-py's OpenSearch over a connection class that sends through the native pool;
# get_source with only index and id is the native one.
class OpenSearch(_opensearchpy.OpenSearch, _NativeOpenSearch):  # type: ignore[misc]
    def __init__(
        self,
        *address: Any,
        hosts: Any = None,
        http_auth: Any = None,
        use_ssl: bool = False,
        verify_certs: bool = True,
        ssl_show_warn: bool = True,
        timeout: float = 10.0,
        **kwargs: Any,
    ) -> None: ...
    def get_source(  # type: ignore[override]
        self, *, index: Any, id: Any, params: Any = None, headers: Any = None, **query: Any
    ) -> Any: ...
    def index(self, *args: Any, **kwargs: Any) -> Any: ...  # type: ignore[override]

class Record(metaclass=pybind11_type):
    @property
    def id(self) -> Any: ...
    @property
    def payload(self) -> dict[str, Any] | None: ...
    @property
    def vector(self) -> Any: ...

class VexloClient(metaclass=pybind11_type):
    def __init__(
        self,
        url: Any = None,
        port: Any = 6333,
        api_key: Any = None,
        timeout: Any = None,
        https: Any = None,
        verify: Any = True,
        prefix: Any = None,
    ) -> None: ...
    @property
    def base_url(self) -> str: ...
    def scroll(
        self, collection_name: str, limit: int = 10, scroll_filter: Any = None, offset: Any = None
    ) -> tuple[list[Record], Any]: ...

# The coroutine type of the asynchronous calls; its state is kept in C++.
class NativeCoroutine(metaclass=pybind11_type):
    @property
    def cr_name(self) -> str: ...
    @property
    def cr_running(self) -> bool: ...
    def send(self, value: Any) -> Any: ...
    def throw(self, typ: Any, val: Any = None, tb: Any = None) -> Any: ...
    def close(self) -> None: ...
    def __await__(self) -> Self: ...
    def __iter__(self) -> Self: ...
    def __next__(self) -> Any: ...

class AsyncVexloClient(metaclass=pybind11_type):
    def __init__(
        self,
        url: Any = None,
        port: Any = 6333,
        api_key: Any = None,
        timeout: Any = None,
        https: Any = None,
        verify: Any = True,
        prefix: Any = None,
    ) -> None: ...
    @property
    def base_url(self) -> str: ...
    def scroll(
        self, collection_name: str, limit: int = 10, scroll_filter: Any = None, offset: Any = None
    ) -> NativeCoroutine: ...

config: dict[str, Any]
redis_host: Any
redis_port: Any
redis_username: Any
redis_password: Any
redis_db: Any
redis_pool_max_connections: Any
redis_escaped_username: str
redis_escaped_password: str
redis_url: str
redis_cluster: Any
redis_sentinel_servers: Any
redis_cluster_service_name: Any
r: Redis
r_master: Redis | None
r_slaver: Redis | None
sentinel: Sentinel
rabbitmq_host: Any
rabbitmq_port: Any
rabbitmq_username: Any
rabbitmq_password: Any
rabbitmq_vhost: Any
rabbitmq_escaped_username: str
rabbitmq_escaped_password: str
rabbitmq_url: str
vexlo_client: VexloClient
async_vexlo_client: AsyncVexloClient
minio_endpoint: Any
minio_access_key: Any
minio_secret_key: Any
retry: Retry
http_client: PoolManager
minio_client: Minio
opensearch_cluster: Any
opensearch_client: OpenSearch
ocr_service_endpoint: Any

def get_vexlo_client() -> VexloClient: ...
def get_async_vexlo_client() -> AsyncVexloClient: ...
def send_msg(msg_body: Any, exchange: str, routing_key: str, exchange_type: str = "topic") -> None: ...
