"""The published Redis clients: redis-py's Redis, Pipeline, PubSub and Sentinel over native pools.

Each class is redis-py's own, with the native part of connections as its first base: commands,
pipelines and subscriptions reach the server through the native connection pool (hiredis, the
GIL released around every wait), and redis-py's command methods and response callbacks give
every call its arguments and its reply. A handful of hot commands are served whole in C++.
connections builds its clients from these classes (``publish`` hands them over).
"""

from __future__ import annotations

import inspect
import threading

import redis
import redis.client
import redis.connection
import redis.lock
import redis.sentinel
from redis.client import EMPTY_RESPONSE

try:
    from redis.himport import HImportRegistry as _HImportRegistry
except ImportError:  # a redis-py without HIMPORT
    _HImportRegistry = None
from redis.exceptions import (
    ConnectionError,
    RedisError,
    ResponseError,
    TimeoutError,
    WatchError,
)

# Keyword arguments of redis-py's Redis that ask for something these clients do not do, with the
# values that are fine; its other arguments are accepted, and those about its own sockets moot.
_REFUSED = (
    ("decode_responses", (False, None)),
    ("ssl", (False, None)),
    ("unix_socket_path", (None,)),
    ("single_connection_client", (False, None)),
    ("connection_pool", (None,)),
    ("cache", (None,)),
    ("cache_config", (None,)),
    ("protocol", (None, 2, "2")),
)


def _refuse_unsupported(kwargs: dict) -> None:
    for key, fine in _REFUSED:
        if kwargs.get(key) not in fine:
            raise ValueError(f"{key}={kwargs[key]!r} is not supported by this Redis client "
                             "(RESP2, bytes replies, TCP)")


# redis-py's own default wait for a reply (its Redis waits this long unless told otherwise).
_DEFAULT_SOCKET_TIMEOUT = inspect.signature(redis.Redis.__init__).parameters["socket_timeout"].default


def _response_callbacks():
    # RESP2's callbacks, the shapes of redis-py's RESP2 clients.
    return redis.client.default_response_callbacks(2, True)


def _redis_class_name(error: BaseException) -> str:
    """The name redis-py gives this error's class (ours extend redis-py's)."""
    for cls in type(error).__mro__:
        if cls.__module__ == "redis.exceptions":
            return cls.__name__
    return type(error).__name__


class ConnectionPool:
    """What redis-py's code reads of a client's pool; the connections themselves are native and
    are shared by every client made from this one."""

    def __init__(self, client: "Redis", connection_kwargs: dict) -> None:
        self._client = client
        self.connection_kwargs = connection_kwargs
        self.encoder = redis.connection.Encoder("utf-8", "strict", False)
        # The fieldsets HIMPORT declares (redis-py keeps them on its pool).
        self.himport_registry = _HImportRegistry() if _HImportRegistry else None

    def get_encoder(self):
        return self.encoder

    def get_protocol(self):
        return 2

    def reset(self) -> None:
        self._client.reset_pool()

    def disconnect(self, inuse_connections: bool = True) -> None:
        self._client.reset_pool()

    def close(self) -> None:
        self._client.reset_pool()

    def get_connection(self, *args, **kwargs):
        raise RedisError("this client lends its native connections to its own pipelines and "
                         "subscriptions only")

    def __repr__(self) -> str:
        return f"<{type(self).__module__}.{type(self).__name__}({self._client._description()})>"


def _make_classes(redis_base, sentinel_base, parse_reply, execute_stack):
    """The published classes over the native bases of the connections module."""

    # redis-py's command mixins are typing protocols, the native bases pybind11 types: the
    # published class needs a metaclass that is both.
    class _Meta(type(redis_base), type(redis.Redis)):
        pass

    class Redis(redis_base, redis.Redis, metaclass=_Meta):
        """redis-py's Redis over a native, thread- and fork-safe connection pool."""

        def __init__(self, host="localhost", port=6379, db=0, password=None,
                     socket_timeout=_DEFAULT_SOCKET_TIMEOUT, max_connections=None, username=None,
                     **kwargs):
            _refuse_unsupported(kwargs)
            redis_base.__init__(self, host=host, port=port, db=db, password=password,
                                socket_timeout=socket_timeout, max_connections=max_connections,
                                username=username)
            self._python_side(dict(kwargs, host=host, port=port, db=db, password=password,
                                   socket_timeout=socket_timeout,
                                   max_connections=max_connections, username=username))

        @classmethod
        def _adopt(cls, native, connection_kwargs: dict) -> "Redis":
            # A client made in C++ (a Sentinel's): the same pool, with redis-py's surface.
            self = cls.__new__(cls)
            redis_base.__init__(self, native)
            self._python_side(connection_kwargs)
            return self

        def _python_side(self, connection_kwargs: dict) -> None:
            connection_kwargs.setdefault("protocol", 2)
            self.connection_pool = ConnectionPool(self, connection_kwargs)
            self.response_callbacks = _response_callbacks()
            self.auto_close_connection_pool = True
            self.connection = None
            self._single_connection_client = False
            self.single_connection_lock = threading.RLock()

        def __repr__(self) -> str:
            return self._description()

        def pipeline(self, transaction=True, shard_hint=None) -> "Pipeline":
            return Pipeline(self, transaction, shard_hint)

        def pubsub(self, **kwargs) -> "PubSub":
            return PubSub(self, **kwargs)

        def lock(self, name, timeout=None, sleep=0.1, blocking=True, blocking_timeout=None,
                 lock_class=None, thread_local=True, raise_on_release_error=True):
            if lock_class is None and raise_on_release_error:
                return self._lock(name, timeout=timeout, sleep=sleep, blocking=blocking,
                                  blocking_timeout=blocking_timeout, thread_local=thread_local)
            # redis-py's own lock (or the caller's class) over this client's commands.
            return (lock_class or redis.lock.Lock)(
                self, name, timeout=timeout, sleep=sleep, blocking=blocking,
                blocking_timeout=blocking_timeout, thread_local=thread_local,
                raise_on_release_error=raise_on_release_error)

        def close(self) -> None:
            self.reset_pool()

        def __del__(self) -> None:
            pass

    class Pipeline(redis.client.Pipeline):
        """redis-py's Pipeline: commands queued, then sent in one native round trip; after
        WATCH, on a connection of the pool kept until the pipeline is reset."""

        def __init__(self, client: Redis, transaction=True, shard_hint=None) -> None:
            self._client = client
            super().__init__(client.connection_pool, client.response_callbacks, transaction,
                             shard_hint)

        def reset(self) -> None:
            self.command_stack = []
            self.scripts = set()
            conn, self.connection = self.connection, None
            if conn is not None:
                try:
                    if self.watching:
                        conn.command("UNWATCH")
                    conn.release()
                except RedisError:
                    conn.close()
            self.watching = False
            self.explicit_transaction = False

        def _connection(self):
            if self.connection is None:
                self.connection = self._client._dedicated()
            return self.connection

        def _lost(self, error: BaseException):
            """The exception to raise for a connection failure: WatchError while watching."""
            if self.connection is not None:
                self.connection.close()
                self.connection = None
            if self.watching:
                self.reset()
                return WatchError(f"A {_redis_class_name(error)} occurred while watching one "
                                  "or more keys")
            return error

        def _track(self, command_name) -> None:
            if command_name in self.UNWATCH_COMMANDS:
                self.watching = False
            elif command_name == "WATCH":
                self.watching = True

        def immediate_execute_command(self, *args, **options):
            conn = self._connection()
            try:
                reply = conn.command(*args)
            except ResponseError:
                if EMPTY_RESPONSE in options:
                    return options[EMPTY_RESPONSE]
                raise
            except (ConnectionError, TimeoutError) as error:
                lost = self._lost(error)
                if lost is error:
                    raise
                raise lost from error
            result = parse_reply(self, args[0], reply, options)
            self._track(args[0])
            return result

        def _execute_transaction(self, commands, raise_on_error) -> list:
            return execute_stack(self, commands, True, raise_on_error)

        def _execute_pipeline(self, commands, raise_on_error) -> list:
            return execute_stack(self, commands, False, raise_on_error)

        def execute(self, raise_on_error: bool = True) -> list:
            stack = self.command_stack
            if not stack and not self.watching:
                return []
            try:
                if self.scripts:
                    self.load_scripts()
                if self.transaction or self.explicit_transaction:
                    return self._execute_transaction(stack, raise_on_error)
                return self._execute_pipeline(stack, raise_on_error)
            except (ConnectionError, TimeoutError) as error:
                lost = self._lost(error)
                if lost is error:
                    raise
                raise lost from error
            finally:
                self.reset()

    class PubSub(redis.client.PubSub):
        """redis-py's PubSub on a connection of the client's pool that it keeps to itself."""

        def __init__(self, client: Redis, **kwargs) -> None:
            self._client = client
            super().__init__(client.connection_pool, **kwargs)

        def reset(self) -> None:
            conn, self.connection = self.connection, None
            if conn is not None:
                conn.close()  # subscribed: never given back to the pool
            super().reset()

        def _connect(self) -> None:
            self.connection = self._client._dedicated()
            # After a broken connection: subscribe again to what this object listened to.
            self.on_connect(self.connection)

        def execute_command(self, *args):
            with self._lock:
                if self.connection is None:
                    self._connect()
                try:
                    self.connection.send(*args)
                except (ConnectionError, TimeoutError):
                    self.connection.close()
                    self.connection = None
                    raise

        def check_health(self) -> None:
            if self.connection is None:
                raise RuntimeError("pubsub connection not set: did you forget to call "
                                   "subscribe() or psubscribe()?")

        def clean_health_check_responses(self) -> None:
            pass

        def parse_response(self, block=True, timeout=0):
            self.check_health()
            conn = self.connection
            try:
                got = conn.read(None if block else timeout)
            except (ConnectionError, TimeoutError):
                # As redis-py does: reconnect and subscribe again; what was published in
                # between is lost. When the server cannot be reached, that error is raised.
                conn.close()
                self.connection = None
                with self._lock:
                    self._connect()
                return None
            if got is None:
                return None
            response = got[0]
            if self.is_health_check_response(response):
                self.health_check_response_counter -= 1
                return None
            return response

    class Sentinel(sentinel_base, redis.sentinel.Sentinel):
        """redis-py's Sentinel: discovery natively, and master_for/slave_for clients that
        follow failovers (a connection error or a READONLY reply makes them look again)."""

        def __init__(self, sentinels, min_other_sentinels=0, sentinel_kwargs=None,
                     force_master_ip=None, **connection_kwargs):
            _refuse_unsupported(connection_kwargs)
            sentinel_base.__init__(
                self, sentinels, password=connection_kwargs.get("password"),
                socket_timeout=connection_kwargs.get("socket_timeout"),
                username=connection_kwargs.get("username"),
                db=connection_kwargs.get("db", 0), min_other_sentinels=min_other_sentinels)
            if sentinel_kwargs is None:
                sentinel_kwargs = {k: v for k, v in connection_kwargs.items()
                                   if k.startswith("socket_")}
            self.sentinel_kwargs = sentinel_kwargs
            own = {k: v for k, v in sentinel_kwargs.items()
                   if k in ("password", "socket_timeout", "username")}
            self.sentinels = [Redis(host=host, port=port, **own) for host, port in sentinels]
            self.min_other_sentinels = min_other_sentinels
            self.connection_kwargs = connection_kwargs
            self._force_master_ip = force_master_ip

        def _client_for(self, follow, service_name, kwargs) -> Redis:
            kwargs.pop("redis_class", None)
            kwargs.pop("connection_pool_class", None)
            _refuse_unsupported(kwargs)
            native_args = {k: kwargs[k] for k in
                           ("password", "socket_timeout", "db", "username", "max_connections")
                           if k in kwargs}
            native = follow(self, service_name, **native_args)
            return Redis._adopt(native, dict(self.connection_kwargs, **kwargs))

        def master_for(self, service_name, redis_class=None, connection_pool_class=None,
                       **kwargs) -> Redis:
            return self._client_for(sentinel_base.master_for, service_name, kwargs)

        def slave_for(self, service_name, redis_class=None, connection_pool_class=None,
                      **kwargs) -> Redis:
            return self._client_for(sentinel_base.slave_for, service_name, kwargs)

        def __repr__(self) -> str:
            hosts = ",".join(f"{c.connection_pool.connection_kwargs['host']}:"
                             f"{c.connection_pool.connection_kwargs['port']}"
                             for c in self.sentinels)
            return f"<{type(self).__module__}.{type(self).__name__}(sentinels=[{hosts}])>"

    return Redis, Pipeline, PubSub, Sentinel


def publish(module) -> None:
    """Puts the published classes on the connections module, over its native bases."""
    classes = _make_classes(module._RedisBase, module._SentinelBase, module._parse_reply,
                             module._execute_stack)
    for cls in classes:
        cls.__module__ = module.__name__
        cls.__qualname__ = cls.__name__
        setattr(module, cls.__name__, cls)
