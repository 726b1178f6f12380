"""The published Redis clients against redis-py's own: the same calls on both, each on a key prefix
of its own on the same server, with replies, stored data and raised exceptions compared."""

from __future__ import annotations

import datetime
import json
import os
import subprocess
import sys
import threading
import time
import uuid
from datetime import timedelta
from pathlib import Path

import pytest
import redis
import redis.sentinel
import yaml

from mosswork_utils import connections as conn
from mosswork_utils import exceptions as exc

pytestmark = pytest.mark.usefixtures("servers")

HOST = "127.0.0.1"
SENTINELS = [(HOST, 26379), (HOST, 26380), (HOST, 26381)]
NOW = datetime.datetime.now


# ---- the comparison ----------------------------------------------------------------------------

def redis_name(error: BaseException) -> str:
    """The name of the redis-py (or built-in) class an error is: ours may subclass it."""
    for cls in type(error).__mro__:
        if cls.__module__ in ("redis.exceptions", "builtins"):
            return cls.__name__
    return type(error).__name__


class Side:
    """One client with its key prefix; k("a") is a key of this side, k.keep() holds objects
    between steps (pipelines, locks, subscriptions)."""

    def __init__(self, client, name: str) -> None:
        self.c = client
        self.prefix = f"pub:{uuid.uuid4().hex[:8]}:{name}:"
        self.held: dict = {}

    def __call__(self, name: str) -> str:
        return self.prefix + name

    def keep(self, name, value):
        self.held[name] = value
        return value

    def __getitem__(self, name):
        return self.held[name]

    def typed(self, v):
        """A value with every type spelled out (1, 1.0 and True differ) and the prefix removed."""
        if isinstance(v, BaseException):
            return ("raised", redis_name(v), self.typed(str(v))[1])
        if isinstance(v, bytes):
            return ("bytes", v.replace(self.prefix.encode(), b"<k>"))
        if isinstance(v, str):
            return ("str", v.replace(self.prefix, "<k>"))
        if v is None or isinstance(v, (int, float)):
            return (type(v).__name__, v)
        if isinstance(v, dict):
            return ("dict", sorted((repr(self.typed(a)), self.typed(b)) for a, b in v.items()))
        if isinstance(v, (list, tuple)):
            return (type(v).__name__, [self.typed(x) for x in v])
        if isinstance(v, (set, frozenset)):
            return ("set", sorted(repr(self.typed(x)) for x in v))
        if isinstance(v, datetime.datetime):
            return ("datetime",)
        return ("object",)  # a pipeline, lock or thread: its behaviour is what the steps compare

    def run(self, step):
        expr, norm = (step, None) if not isinstance(step, tuple) else step
        try:
            value = expr(self.c, self) if callable(expr) else eval(expr, {**globals(), "c": self.c, "k": self})
            if norm is not None:
                value = norm(value)
            return self.typed(value), value
        except Exception as e:  # the comparison is the point
            return self.typed(e), e


def stored(neutral, prefix: str) -> dict:
    """Everything kept under a prefix, read by a plain client, expiries to ten seconds."""
    read = {b"string": neutral.get, b"hash": neutral.hgetall, b"set": neutral.smembers,
            b"list": lambda key: neutral.lrange(key, 0, -1),
            b"zset": lambda key: neutral.zrange(key, 0, -1, withscores=True)}
    out = {}
    for key in neutral.scan_iter(match=prefix + "*", count=1000):
        kind = neutral.type(key)
        ttl = neutral.pttl(key)
        out[key[len(prefix):]] = (kind, read[kind](key), ttl if ttl < 0 else -(-ttl // 10000))
    return out


def differences(steps, ours, peer, neutral) -> list[str]:
    """Runs each step on ours, then on redis-py, and lists where replies or stored data differ."""
    a, b = Side(ours, "ours"), Side(peer, "peer")
    diffs, diverged = [], False
    try:
        for step in steps:
            label = step[0] if isinstance(step, tuple) else step
            label = getattr(label, "__name__", label)
            (got, got_raw), (want, want_raw) = a.run(step), b.run(step)
            if got != want:
                diffs.append(f"{label}: ours {got!r} | redis-py {want!r}")
            elif isinstance(want_raw, BaseException) and not isinstance(got_raw, type(want_raw)):
                diffs.append(f"{label}: ours raised {type(got_raw)}, not a {type(want_raw)}")
            if not diverged:
                sa, sb = stored(neutral, a.prefix), stored(neutral, b.prefix)
                if sa != sb:
                    diffs.append(f"{label}: stored ours {sa!r} | redis-py {sb!r}")
                    diverged = True
    finally:
        for side in (a, b):
            for obj in side.held.values():
                for stop in ("stop", "close", "reset"):
                    if callable(getattr(obj, stop, None)):
                        getattr(obj, stop)()
                        break
            for key in neutral.scan_iter(match=side.prefix + "*", count=1000):
                neutral.delete(key)
    return diffs


def within(*choices):
    return lambda v: (type(v).__name__, v in choices)


def ten(v):  # a time to live, to ten units: the two sides run a moment apart
    return -(-v // 10)


def ten_thousand(v):
    return -(-v // 10000)


# ---- the tables --------------------------------------------------------------------------------

STRINGS = [
    "c.set(k('a'), 'v')", "c.set(k('a'), 'w', nx=True)", "c.set(k('a'), 'w', xx=True, get=True)",
    "c.set(k('b'), 'x', xx=True)", "c.set(k('a'), 1, ex=100)", "c.set(k('a'), 2, keepttl=True)",
    ("c.ttl(k('a'))", ten), "c.set(k('c'), 'v', px=timedelta(seconds=50))",
    ("c.pttl(k('c'))", ten_thousand), "c.set(k('c'), 'v', ex=timedelta(seconds=60))",
    "c.set(k('d'), 'v', exat=NOW() + timedelta(hours=1))",
    "c.set(k('d'), 'v', pxat=int(time.time() * 1000) + 200000)",
    "c.set(k('e'), 'v', ex=10.0)", "c.set(k('e'), 'v', ex='10.5')", "c.set(k('e'), 'v', px=10.0)",
    "c.set(k('e'), 'v', ex=0, px=1)", "c.set(k('e'), 'v', ex=0)", "c.set(k('e'), 'v', ex=-1)",
    "c.set(k('e'), None)", "c.set(k('e'), 'v', ex='10')", "c.set(k('f'), b'\\x00\\xff', nx=True, px=90000)",
    "c.getex(k('a'), ex=100)", "c.getex(k('a'), persist=True)", "c.getex(k('a'), ex=1, px=1)",
    "c.getex(k('zz'))", "c.getdel(k('a'))", "c.getdel(k('a'))", "c.get(k('zz'))",
    "c.mset({k('m1'): 1, k('m2'): b'\\xff', k('m3'): 1.5})", "c.mget(k('m1'), k('m2'), k('zz'))",
    "c.mget([k('m1'), k('m3')])", "c.msetnx({k('m1'): 2, k('m9'): 2})", "c.mset({})",
    "c.incrbyfloat(k('n'), 1.5)", "c.incrbyfloat(k('n'), '2')", "c.incrbyfloat(k('m2'), 1)",
    "c.incr(k('i'))", "c.incrby(k('i'), 5)", "c.decr(k('i'), 2)", "c.incr(k('n'))",
    "c.append(k('s'), 'ab')", "c.setrange(k('s'), 5, 'z')", "c.getrange(k('s'), 0, -1)",
    "c.getrange(k('s'), 1, 2)", "c.strlen(k('s'))", "c.strlen(k('zz'))", "c.setnx(k('s'), 'x')",
    "c.setex(k('x'), 100, 'v')", "c.psetex(k('x'), timedelta(seconds=70), 'v')",
]

HASHES = [
    "c.hset(k('h'), 'f', 'v')", "c.hset(k('h'), mapping={'a': 1, b'b': 2.5})",
    "c.hset(k('h'), 'f', 'w', mapping={'c': 'x'}, items=['d', 4, 'e', 5])", "c.hset(k('h'))",
    "c.hset(k('h'), items=['x'])", "c.hset(k('h'), mapping={'n': None})", "c.hget(k('h'), 'f')",
    "c.hget(k('h'), 'zz')", "c.hmget(k('h'), ['a', 'b', 'zz'])", "c.hmget(k('h'), 'a', 'f')",
    "c.hgetall(k('h'))", "c.hgetall(k('zz'))", "c.hkeys(k('h'))", "c.hvals(k('h'))",
    "c.hlen(k('h'))", "c.hexists(k('h'), 'a')", "c.hexists(k('h'), 'zz')", "c.hstrlen(k('h'), 'b')",
    "c.hincrby(k('h'), 'a', 5)", "c.hincrby(k('h'), 'f')", "c.hincrbyfloat(k('h'), 'b', 0.5)",
    "c.hincrbyfloat(k('h'), 'new', '1e2')", "c.hsetnx(k('h'), 'a', 0)", "c.hsetnx(k('h'), 'g', 0)",
    ("c.hrandfield(k('h'))", within(b'a', b'b', b'c', b'd', b'e', b'f', b'g', b'new')),
    ("c.hrandfield(k('h'), 20)", sorted), ("c.hrandfield(k('h'), 2)", len),
    ("c.hrandfield(k('h'), 20, withvalues=True)", lambda v: sorted(zip(v[::2], v[1::2]))),
    "c.hrandfield(k('zz'))", "c.hdel(k('h'), 'a', 'zz')", "c.set(k('s'), 'v')", "c.hget(k('s'), 'f')",
]

LISTS = [
    "c.rpush(k('l'), 1, 2, 3)", "c.lpush(k('l'), 'a', b'b')", "c.lrange(k('l'), 0, -1)",
    "c.lrange(k('zz'), 0, -1)", "c.lpop(k('l'))", "c.lpop(k('l'), 2)", "c.rpop(k('l'), 1)",
    "c.rpop(k('zz'))", "c.lpop(k('zz'), 2)", "c.rpush(k('l'), 'x', 'y', 'x', 'z', 'x')",
    "c.lindex(k('l'), 0)", "c.lindex(k('l'), 99)", "c.linsert(k('l'), 'before', 'y', 'w')",
    "c.linsert(k('l'), 'AFTER', 'nope', 'w')", "c.linsert(k('l'), 'middle', 'y', 'w')",
    "c.llen(k('l'))", "c.lrem(k('l'), 2, 'x')", "c.lset(k('l'), 0, 'q')", "c.lset(k('l'), 99, 'q')",
    "c.ltrim(k('l'), 0, 4)", "c.lmove(k('l'), k('l2'))", "c.lmove(k('l'), k('l2'), 'RIGHT', 'LEFT')",
    "c.rpoplpush(k('l'), k('l2'))", "c.rpush(k('p'), 'a', 'b', 'a', 'c', 'a')", "c.lpos(k('p'), 'a')",
    "c.lpos(k('p'), 'a', rank=2)", "c.lpos(k('p'), 'a', count=0)", "c.lpos(k('p'), 'zz')",
    "c.lpos(k('p'), 'a', rank=-1, maxlen=2)", "c.lpushx(k('zz'), 1)", "c.rpushx(k('p'), 'd')",
    "c.blpop([k('zz'), k('p')], timeout=1)", "c.brpop(k('p'), 1)", "c.blpop(k('zz'), timeout=0.3)",
    "c.blmove(k('p'), k('l2'), 1, 'LEFT', 'RIGHT')", "c.lpush(k('e'))",
]

SETS = [
    "c.sadd(k('s'), 'a', 'b', 'c', 1)", "c.sadd(k('t'), 'b', 'c', 'd')", "c.sadd(k('s'), 'a')",
    "c.smembers(k('s'))", "c.smembers(k('zz'))", "c.sinter(k('s'), k('t'))",
    "c.sunion([k('s'), k('t')])", "c.sdiff(k('s'), k('t'))", "c.sinterstore(k('i'), [k('s'), k('t')])",
    "c.sunionstore(k('u'), k('s'), k('t'))", "c.sdiffstore(k('d'), k('s'), k('t'))",
    "c.scard(k('s'))", "c.sismember(k('s'), 'a')", "c.sismember(k('s'), 'zz')",
    "c.smismember(k('s'), ['a', 'zz'])", "c.smismember(k('s'), 'b', 1)", "c.sadd(k('one'), 'x')",
    "c.spop(k('one'))", "c.spop(k('zz'))", ("c.spop(k('d'), 10)", set),
    ("c.srandmember(k('t'))", within(b'b', b'c', b'd')), ("c.srandmember(k('t'), 10)", set),
    ("c.srandmember(k('t'), -5)", len), "c.smove(k('t'), k('u2'), 'd')", "c.smove(k('t'), k('u2'), 'zz')",
    "c.srem(k('s'), 'a', 'zz')", "c.sadd(k('s'))",
]

ZSETS = [
    "c.zadd(k('z'), {'a': 1, 'b': 2, 'c': 3})", "c.zadd(k('z'), {'a': 5}, nx=True)",
    "c.zadd(k('z'), {'a': 0.5, 'd': 4}, xx=True, ch=True)", "c.zadd(k('z'), {'b': 1}, gt=True, ch=True)",
    "c.zadd(k('z'), {'b': 1}, lt=True, ch=True)", "c.zadd(k('z'), {'c': 2}, incr=True)",
    "c.zadd(k('z'), {'c': 1, 'd': 2}, incr=True)", "c.zadd(k('z'), {'a': 1}, nx=True, xx=True)",
    "c.zadd(k('z'), {})", "c.zadd(k('z'), {'a': 1}, gt=True, nx=True)",
    "c.zadd(k('z'), {'q': 'x'})", "c.zrange(k('z'), 0, -1)", "c.zrange(k('z'), 0, -1, withscores=True)",
    "c.zrange(k('z'), 1, 3, byscore=True, withscores=True)", "c.zrange(k('z'), 0, 1, desc=True)",
    "c.zrange(k('z'), '(1', '+inf', byscore=True, offset=0, num=2)", "c.zrange(k('z'), 0, 1, offset=1)",
    "c.zrange(k('z'), 0, -1, withscores=True, score_cast_func=int)",
    "c.zrange(k('z'), '[a', '[c', bylex=True)", "c.zrangebyscore(k('z'), '-inf', '+inf', withscores=True)",
    "c.zrangebyscore(k('z'), 0, 10, start=1, num=2)", "c.zrevrange(k('z'), 0, -1, withscores=True)",
    "c.zrevrangebyscore(k('z'), 10, 2)", "c.zscore(k('z'), 'a')", "c.zscore(k('z'), 'zz')",
    "c.zmscore(k('z'), ['a', 'zz'])", "c.zmscore(k('z'), [])", "c.zincrby(k('z'), 2, 'a')",
    "c.zrank(k('z'), 'a')", "c.zrank(k('z'), 'zz')", "c.zrevrank(k('z'), 'a')",
    "c.zcard(k('z'))", "c.zcount(k('z'), 1, 3)", "c.zcount(k('z'), '(1', '+inf')",
    "c.zlexcount(k('z'), '-', '+')", "c.zadd(k('y'), {'a': 10, 'x': 1})",
    "c.zunionstore(k('u'), [k('z'), k('y')])", "c.zunionstore(k('u'), {k('z'): 2, k('y'): 1}, aggregate='MAX')",
    "c.zinterstore(k('i'), [k('z'), k('y')], aggregate='MIN')", "c.zinterstore(k('i'), [k('z')], aggregate='AVG')",
    "c.zrangestore(k('r'), k('z'), 0, 1)", "c.zrem(k('z'), 'a', 'zz')", "c.zpopmin(k('z'))",
    "c.zpopmax(k('z'), 2)", "c.zpopmin(k('zz'))", "c.bzpopmin([k('zz'), k('u')], timeout=1)",
    "c.bzpopmax(k('zz'), timeout=0.3)", "c.zremrangebyscore(k('u'), 0, 5)",
]

KEYS = [
    "c.set(k('a'), '1')", "c.exists(k('a'), k('b'), k('a'))", "c.expire(k('a'), 100)",
    ("c.ttl(k('a'))", ten), "c.pexpire(k('a'), 100000)", ("c.pttl(k('a'))", ten_thousand),
    "c.expireat(k('a'), NOW() + timedelta(minutes=5))", "c.pexpireat(k('a'), NOW() + timedelta(minutes=4))",
    "c.expire(k('a'), timedelta(seconds=50))", "c.expire(k('a'), 500, nx=True)",
    "c.expire(k('a'), 500, gt=True)", "c.expire(k('zz'), 10)", "c.expire(k('a'), 1.5)",
    "c.persist(k('a'))", "c.persist(k('a'))", "c.ttl(k('a'))", "c.ttl(k('zz'))", "c.pttl(k('zz'))",
    "c.rename(k('a'), k('b'))", "c.set(k('c'), 'c')", "c.renamenx(k('b'), k('c'))",
    "c.renamenx(k('b'), k('d'))", "c.rename(k('zz'), k('e'))", "c.type(k('d'))", "c.type(k('zz'))",
    "c.copy(k('d'), k('e'))", "c.copy(k('d'), k('c'))", "c.copy(k('d'), k('c'), replace=True)",
    "c.dump(k('d'))", "c.dump(k('zz'))", "c.restore(k('f'), 0, c.dump(k('d')))",
    "c.restore(k('f'), 0, c.dump(k('d')))", "c.restore(k('f'), 90000, c.dump(k('c')), replace=True)",
    "c.restore(k('g'), 0, b'garbage')", "c.object('encoding', k('d'))", "c.object('refcount', k('d'))",
    "c.object('encoding', k('zz'))", "c.hset(k('h'), mapping={'a': 1, 'b': 2})",
    "c.sadd(k('s'), 'x', 'y')", "c.zadd(k('z'), {'x': 1, 'y': 2.5})",
    ("list(c.scan_iter(match=k('*'), count=2))", sorted), ("list(c.scan_iter(k('*'), _type='hash'))", sorted),
    ("c.scan(0, match=k('*'), count=100000)", lambda v: (v[0], sorted(v[1]))),
    ("c.keys(k('*'))", sorted), "c.hscan(k('h'))", "list(c.hscan_iter(k('h'), match='a*'))",
    "list(c.sscan_iter(k('s')))", "list(c.zscan_iter(k('z')))", "list(c.zscan_iter(k('z'), score_cast_func=int))",
    ("c.randomkey()", lambda v: type(v).__name__), "c[k('d')]", "c[k('zz')]",
    "c.__setitem__(k('n'), 5)", "c.__delitem__(k('n'))", "c.__delitem__(k('zz'))",
    "k('d') in c", "k('zz') in c", "c.touch(k('d'), k('zz'))", "c.unlink(k('e'))",
    "c.delete(k('c'), k('d'), k('zz'))", "c.delete()",
]

SCRIPT = "return {KEYS[1], ARGV[1], 3, redis.call('INCRBY', KEYS[1], ARGV[1])}"

SCRIPTING = [
    "c.eval(SCRIPT, 1, k('a'), 2)", "c.eval(\"return redis.call('SET', KEYS[1], ARGV[1])\", 1, k('b'), 'v')",
    "c.eval(\"return redis.error_reply('boom')\", 0)", "c.eval('return {1, 2.5, \"x\", false}', 0)",
    "c.eval('this is not lua', 0)", "c.script_load(SCRIPT)", "c.evalsha(c.script_load(SCRIPT), 1, k('a'), 3)",
    "c.script_exists(c.script_load(SCRIPT), '0' * 40)", "c.evalsha('0' * 40, 0)",
    "c.evalsha(c.script_load(SCRIPT), 1, k('b'), 1)",
    # A body new to the server on each side: the script object loads it after NOSCRIPT.
    "k.keep('s', c.register_script('-- ' + k('') + '\\n' + SCRIPT))(keys=[k('a')], args=[5])",
    "k['s'](keys=[k('a')], args=[-1])", "k['s'](keys=[k('a')], args=[1], client=c)",
]

SERVER = [
    "c.ping()", "c.echo('hi')", "c.echo(b'\\x00')", ("c.time()", lambda v: [type(x) for x in v]),
    ("c.dbsize()", lambda v: type(v).__name__), ("c.info('server')", lambda v: (v['redis_version'], v['tcp_port'])),
    ("c.info()", lambda v: (v['redis_version'], 'used_memory' in v, 'db0' in v)),
    ("c.info('keyspace')", lambda v: sorted(v['db0'])), "c.config_get('maxmemory*')",
    "c.config_get('nosuch')", ("c.lastsave()", type), "c.memory_usage(k('zz'))",
    ("c.client_id()", type), "c.execute_command('NOSUCHCOMMAND')", "c.execute_command('ECHO', 'x')",
]


def watched_write(c, k):
    pipe = k.keep("w", c.pipeline())
    pipe.watch(k("w"))
    before = pipe.get(k("w"))
    c.set(k("w"), "other")  # from another connection of the pool
    pipe.multi()
    pipe.set(k("w"), "mine")
    return [before, pipe.execute()]


def unwatched_write(c, k):
    pipe = k.keep("u", c.pipeline())
    pipe.watch(k("w"))
    pipe.unwatch()
    c.set(k("w"), "again")
    pipe.multi()
    return pipe.set(k("w"), "mine").get(k("w")).execute()


def transaction_helper(c, k):
    return c.transaction(lambda p: p.multi() or p.incr(k("t")), k("t"), value_from_callable=False)


def context_pipeline(c, k):
    with c.pipeline(transaction=False) as pipe:
        chained = pipe.set(k("c"), 1).incrbyfloat(k("c"), 0.5).zadd(k("z"), {"m": 2}).zrange(k("z"), 0, -1, withscores=True)
        return [chained is pipe, len(pipe), pipe.execute(), len(pipe)]


PIPELINES = [
    "bool(c.pipeline())", "len(c.pipeline())", "c.pipeline().execute()",
    "c.pipeline().set(k('a'), 1).incr(k('a')).get(k('a')).hgetall(k('zz')).execute()",
    "c.pipeline(transaction=False).set(k('b'), 1).expire(k('b'), 100).ttl(k('b')).execute()",
    "c.pipeline().set(k('s'), 'x').hset(k('s'), 'f', 'v').incr(k('a')).execute()",
    "c.pipeline(transaction=False).hset(k('s'), 'f', 'v').incr(k('a')).execute()",
    "c.pipeline().hset(k('s'), 'f', 'v').incr(k('a')).execute(raise_on_error=False)",
    "c.pipeline(transaction=False).incr(k('s')).get(k('s')).execute(raise_on_error=False)",
    "c.pipeline().set(k('e'), 'v').execute_command('SET', k('e')).execute()",
    "c.pipeline().set(k('e'), None).execute()", "c.pipeline().zadd(k('e'), {}).execute()",
    "c.pipeline().set(k('e'), 'v', ex=1.5)", "c.pipeline().eval(SCRIPT, 1, k('n'), 4).execute()",
    "c.register_script(SCRIPT)(keys=[k('n')], args=[1], client=c.pipeline()) is None",
    watched_write, unwatched_write, transaction_helper, context_pipeline,
]


def lock_steps():
    def locked_twice(c, k):
        other = c.lock(k("L"), blocking_timeout=0.2, sleep=0.05)
        return [other.acquire(), other.locked(), other.owned()]

    def lost_lock(c, k):
        lost = c.lock(k("M"), timeout=10)
        lost.acquire(token="m")
        c.set(k("M"), "stolen")
        return lost.release()

    def with_form(c, k):
        with c.lock(k("W"), timeout=5, blocking_timeout=1) as held:
            inside = [held.owned(), c.exists(k("W"))]
        return inside + [c.exists(k("W"))]

    def with_held(c, k):
        with c.lock(k("L"), blocking_timeout=0.2):
            return "entered"

    return [
        "k.keep('L', c.lock(k('L'), timeout=5, sleep=0.05, blocking=True, blocking_timeout=0.5, thread_local=False)).locked()",
        "k['L'].acquire(token='tok')", "k['L'].locked()", "k['L'].owned()", ("c.pttl(k('L'))", ten_thousand),
        locked_twice, "c.lock(k('L'), blocking=False).acquire()", "k['L'].extend(5)",
        ("c.pttl(k('L'))", ten_thousand), "k['L'].extend(1, replace_ttl=True)", "k['L'].reacquire()",
        ("c.pttl(k('L'))", ten_thousand), with_held, "k['L'].release()", "k['L'].release()",
        "k['L'].owned()", "k['L'].extend(1)", "k['L'].reacquire()", "c.lock(k('N')).extend(1)",
        "c.lock(k('N'), blocking_timeout=0.1).acquire(token='n')", "c.lock(k('N')).extend(1)",
        lost_lock, with_form, "c.lock(k('T'), timeout=5).acquire(blocking=False, token=b'\\xff')",
        "c.lock(k('T'), timeout=5, blocking=False).acquire()",
    ]


def pubsub_steps():
    def handler_seen(c, k):
        deadline = time.monotonic() + 3
        while not k["seen"] and time.monotonic() < deadline:
            time.sleep(0.02)
        return k["seen"]

    def threaded(c, k):
        ps = k.keep("tps", c.pubsub())
        ps.subscribe(**{k("t"): lambda m: k["seen"].append(m)})
        thread = k.keep("thread", ps.run_in_thread(sleep_time=0.05, daemon=True))
        deadline = time.monotonic() + 3
        while c.pubsub_numsub(k("t"))[0][1] == 0 and time.monotonic() < deadline:
            time.sleep(0.02)
        return thread.is_alive()

    def stopped(c, k):
        k["thread"].stop()
        k["thread"].join(3)
        return k["thread"].is_alive()

    return [
        "k.keep('seen', [])", "k.keep('ps', c.pubsub()).subscribe(k('ch'))", "k['ps'].get_message(timeout=1)",
        "c.publish(k('ch'), 'hello')", "k['ps'].get_message(timeout=1)", "k['ps'].get_message(timeout=0.2)",
        "k['ps'].psubscribe(k('p*'))", "k['ps'].get_message(timeout=1)", "c.publish(k('ch'), b'\\x00two')",
        "k['ps'].get_message(timeout=1)", "k['ps'].get_message(timeout=1)", "c.publish(k('nobody'), 1)",
        "k['ps'].subscribed", ("sorted(k['ps'].channels)", list), "k['ps'].unsubscribe(k('ch'))",
        "k['ps'].get_message(timeout=1)", "c.publish(k('pat'), 3)", "next(k['ps'].listen())",
        "k['ps'].punsubscribe()", "k['ps'].get_message(timeout=1)", "k['ps'].get_message(timeout=0.2)",
        "k.keep('quiet', c.pubsub(ignore_subscribe_messages=True)).subscribe(k('q'))",
        "k['quiet'].get_message(timeout=0.3)", "c.publish(k('q'), 'shh')", "k['quiet'].get_message(timeout=1)",
        "k['quiet'].subscribe(**{k('h'): k['seen'].append})", "k['quiet'].get_message(timeout=0.3)",
        "c.publish(k('h'), 'handled')", "k['quiet'].get_message(timeout=1)", "k['seen']",
        "k['quiet'].psubscribe(**{k('hp*'): lambda m: k['seen'].append(('p', m))})",
        "k['quiet'].get_message(timeout=0.3)", "c.publish(k('hp1'), 'x')", "k['quiet'].get_message(timeout=1)",
        "k['seen'][-1]", "k['seen'].clear()", threaded, "c.publish(k('t'), 'threaded')", handler_seen,
        stopped, "c.pubsub().get_message()",
    ]


FAMILIES = {"strings": STRINGS, "hashes": HASHES, "lists": LISTS, "sets": SETS, "sorted sets": ZSETS,
            "keys": KEYS, "scripting": SCRIPTING, "server": SERVER, "pipelines": PIPELINES,
            "locks": lock_steps(), "pub/sub": pubsub_steps()}
MIXED = STRINGS[:12] + HASHES[:20] + LISTS[:12] + ZSETS[:20] + PIPELINES[3:9]


# ---- the clients -------------------------------------------------------------------------------

def master_address():
    return redis.sentinel.Sentinel(SENTINELS, socket_timeout=5).discover_master("mymaster")


@pytest.fixture(scope="module", params=["connections.r", "connections.Redis", "Sentinel.master_for"])
def pair(request):
    """(ours, redis-py's, a neutral redis-py client) on one server."""
    if request.param == "connections.r":
        yield conn.r, redis.Redis(host=HOST, port=6379), redis.Redis(host=HOST, port=6379)
    elif request.param == "connections.Redis":
        yield conn.Redis(host=HOST, port=6379, socket_timeout=10), redis.Redis(host=HOST, port=6379, socket_timeout=10), redis.Redis(host=HOST, port=6379)
    else:
        host, port = master_address()
        ours = conn.Sentinel(SENTINELS, socket_timeout=10).master_for("mymaster", socket_timeout=10)
        peer = redis.sentinel.Sentinel(SENTINELS, socket_timeout=10).master_for("mymaster", socket_timeout=10)
        yield ours, peer, redis.Redis(host=host, port=port)


@pytest.mark.parametrize("family", FAMILIES)
def test_family_as_redis_py(pair, family):
    ours, peer, neutral = pair
    diffs = differences(FAMILIES[family], ours, peer, neutral)
    assert diffs == [], "\n".join(diffs)


def test_surface_and_classes():
    missing = [n for n in dir(redis.Redis) if not n.startswith("_") and not hasattr(conn.r, n)]
    assert missing == []
    missing = [n for n in dir(redis.client.Pipeline) if not n.startswith("_") and not hasattr(conn.r.pipeline(), n)]
    assert missing == []
    assert isinstance(conn.r, redis.Redis) and isinstance(conn.Redis(host=HOST, port=6379), redis.Redis)
    sentinel = conn.Sentinel(SENTINELS, socket_timeout=5)
    assert isinstance(sentinel, redis.sentinel.Sentinel)
    assert isinstance(sentinel.master_for("mymaster"), redis.Redis)


def test_exceptions_caught_by_both_names(raw):
    key = "pub:exc:" + uuid.uuid4().hex
    raw.set(key, "text")
    lock = conn.r.lock(key + ":lock", timeout=5)
    cases = [
        (lambda: conn.r.hget(key, "f"), redis.exceptions.ResponseError, exc.ResponseError),
        (lambda: conn.r.set(key + ":e", "v", ex=1.5), redis.exceptions.DataError, exc.DataError),
        (lambda: conn.r.evalsha("0" * 40, 0), redis.exceptions.NoScriptError, exc.NoScriptError),
        (lock.release, redis.exceptions.LockError, exc.LockError),
        (lambda: conn.Redis(host=HOST, port=1).ping(), redis.exceptions.ConnectionError, exc.RedisConnectionError),
        (lambda: conn.Redis(host=HOST, port=1).pipeline().ping().execute(), redis.exceptions.ConnectionError, exc.RedisConnectionError),
        (lambda: conn.Redis(host=HOST, port=1).pubsub().subscribe("x"), redis.exceptions.ConnectionError, exc.RedisConnectionError),
        (lambda: conn.Redis(host=HOST, port=6379, socket_timeout=0.2).execute_command("BLPOP", key + ":q", 2),
         redis.exceptions.TimeoutError, exc.RedisTimeoutError),
        (lambda: conn.Redis(host=HOST, port=6379, socket_timeout=0.2).blpop(key + ":q", 2),
         redis.exceptions.TimeoutError, exc.RedisTimeoutError),
    ]
    try:
        for call, theirs, mine in cases:
            with pytest.raises(theirs) as caught:
                call()
            assert isinstance(caught.value, mine), caught.value
            assert isinstance(caught.value, exc.RedisError)
        assert not raw.exists(key + ":e")
        watching = conn.r.pipeline()
        watching.watch(key)
        raw.set(key, "changed")
        watching.multi()
        watching.set(key, "mine")
        with pytest.raises(redis.exceptions.WatchError) as caught:
            watching.execute()
        assert isinstance(caught.value, exc.WatchError) and raw.get(key) == b"changed"
        lock.acquire(token="t")
        raw.set(key + ":lock", "someone else")
        with pytest.raises(redis.exceptions.LockNotOwnedError) as caught:
            lock.release()
        assert isinstance(caught.value, exc.LockNotOwnedError)
    finally:
        raw.delete(key, key + ":lock", key + ":e")


class TestSentinel:
    def test_discovery_and_clients(self):
        ours = conn.Sentinel(SENTINELS, socket_timeout=5)
        peer = redis.sentinel.Sentinel(SENTINELS, socket_timeout=5)
        assert ours.discover_master("mymaster") == peer.discover_master("mymaster")
        assert ours.discover_slaves("mymaster") == peer.discover_slaves("mymaster") != []
        for make in (lambda s: s.discover_master("nosuch"), lambda s: s.master_for("nosuch").ping()):
            with pytest.raises(redis.sentinel.MasterNotFoundError) as theirs:
                make(peer)
            with pytest.raises(redis.sentinel.MasterNotFoundError) as mine:
                make(ours)
            assert str(mine.value) == str(theirs.value)
        master, replica = ours.master_for("mymaster"), ours.slave_for("mymaster", socket_timeout=5)
        key = "pub:sentinel:" + uuid.uuid4().hex
        try:
            assert master.set(key, "v", ex=60) is True and master.wait(1, 2000) == 1
            assert replica.get(key) == b"v" and replica.ttl(key) > 0
            with pytest.raises(redis.exceptions.ReadOnlyError) as mine:
                replica.set(key, "w")
            with pytest.raises(redis.exceptions.ReadOnlyError) as theirs:
                peer.slave_for("mymaster").set(key, "w")
            assert str(mine.value) == str(theirs.value)
        finally:
            master.delete(key)

    def test_published_master_and_replica(self, tmp_path, root):
        """r_master and r_slaver exist when the configuration turns the Sentinel set on."""
        cfg = yaml.safe_load((root / "configs" / "service.yaml").read_text())
        cfg["service"]["redis_cluster"] = True
        path = tmp_path / "service.yaml"
        path.write_text(yaml.safe_dump(cfg))
        code = (
            "import json, sys, redis\n"
            f"sys.path.insert(0, {str(Path(__file__).parent)!r})\n"
            "import test_published_redis as t\n"
            "from mosswork_utils import connections as conn\n"
            "host, port = t.master_address()\n"
            "peer = redis.Redis(host=host, port=port)\n"
            "diffs = t.differences(t.STRINGS + t.HASHES + t.PIPELINES, conn.r_master, peer, peer)\n"
            "replica = redis.sentinel.Sentinel(t.SENTINELS).slave_for('mymaster')\n"
            "reads = ['c.get(k(\"zz\"))', 'c.hgetall(k(\"zz\"))', 'c.set(k(\"a\"), 1)', 'c.ping()', 'c.exists(k(\"a\"))']\n"
            "diffs += t.differences(reads, conn.r_slaver, replica, peer)\n"
            "print(json.dumps(diffs))\n"
        )
        run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120,
                             env=dict(os.environ, MOSSWORK_CONFIG=str(path), PYTHONPATH=str(root)))
        assert run.returncode == 0, run.stderr[-3000:]
        assert json.loads(run.stdout.strip().splitlines()[-1]) == []


class TestConcurrency:
    def test_forked_child_gets_its_own_replies(self):
        conn.r.ping()
        conn.r.pipeline().ping().execute()  # the pool holds used connections at the fork
        pid = os.fork()
        if pid == 0:
            status = 1
            try:
                peer = redis.Redis(host=HOST, port=6379)
                status = 0 if differences(MIXED, conn.r, peer, peer) == [] else 3
            finally:
                os._exit(status)
        assert differences(STRINGS[:10], conn.r, redis.Redis(host=HOST, port=6379), redis.Redis(host=HOST, port=6379)) == []
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0

    def test_four_threads_each_get_their_own_replies(self):
        results: dict[int, list] = {}

        def work(i):
            peer = redis.Redis(host=HOST, port=6379)
            try:
                results[i] = differences(MIXED, conn.r, peer, peer)
            except Exception as e:  # reported below
                results[i] = [repr(e)]

        threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(120)
        assert results == {0: [], 1: [], 2: [], 3: []}
