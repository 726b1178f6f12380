"""Tests of the bridge's JSON codec (mosswork_utils._bridge dumps/dumps_utf8/loads) against json."""

from __future__ import annotations

import collections
import enum
import functools
import gc
import json
import math
import random
import struct
import sys
import threading
import tracemalloc
from typing import Any, Callable

import pytest

from mosswork_utils import _bridge

# ---- helpers ---------------------------------------------------------------------------------


def outcome(function: Callable[..., Any], *args: Any, **kwargs: Any) -> tuple:
    """What a call gives: ("ok", result) or ("error", type, text, JSONDecodeError details)."""
    try:
        return ("ok", function(*args, **kwargs))
    except Exception as error:  # noqa: BLE001 - every exception is compared
        details = None
        if isinstance(error, json.JSONDecodeError):
            details = (error.msg, error.pos, error.lineno, error.colno)
        return ("error", type(error), str(error), details)


def same_value(a: Any, b: Any) -> bool:
    """Equal values of identical types; floats by bit pattern, dicts in key order."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        if math.isnan(a):
            return math.isnan(b)
        return struct.pack("<d", a) == struct.pack("<d", b)
    if isinstance(a, list):
        return len(a) == len(b) and all(same_value(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same_value(a[k], b[k]) for k in a)
    return a == b


def same_outcome(a: tuple, b: tuple) -> bool:
    if a[0] != b[0]:
        return False
    if a[0] == "ok":
        return same_value(a[1], b[1])
    return a[1:] == b[1:]


def deep_list(depth: int) -> list:
    value: list = []
    for _ in range(depth):
        value = [value]
    return value


def deep_dict(depth: int) -> dict:
    value: dict = {}
    for _ in range(depth):
        value = {"k": value}
    return value


# Subclasses json accepts as their base types.
class IntSub(int):
    def __repr__(self) -> str:
        return "IntSub!"

    __str__ = __repr__


class FloatSub(float):
    def __repr__(self) -> str:
        return "FloatSub!"


class StrSub(str):
    def __str__(self) -> str:
        return "StrSub!"


class ListSub(list):
    def __iter__(self):
        return iter(["not", "used"])


class TupleSub(tuple):
    pass


class DictSub(dict):
    pass


class Colour(enum.IntEnum):
    RED = 1
    GREEN = 2


Point = collections.namedtuple("Point", "x y")


# ---- generated values ------------------------------------------------------------------------

_CJK = "知识库检索增强生成向量数据库中文文本"
_NON_BMP = "\U0001f600\U0001d11e\U00020000\U0010ffff\U00010000"


class ValueGenerator:
    """Seeded nested values covering every kind of value json.dumps accepts."""

    def __init__(self, seed: int) -> None:
        self.rng = random.Random(seed)

    def char(self) -> str:
        r = self.rng.random()
        if r < 0.35:
            return chr(self.rng.randint(0x20, 0x7e))
        if r < 0.45:
            return chr(self.rng.choice([*range(0x20), 0x7f, 0x22, 0x5c]))
        if r < 0.55:
            return chr(self.rng.randint(0x80, 0xff))
        if r < 0.70:
            return self.rng.choice(_CJK)
        if r < 0.80:
            return self.rng.choice(_NON_BMP)
        if r < 0.88:
            return chr(self.rng.randint(0xd800, 0xdfff))  # lone surrogate
        if r < 0.92:
            return chr(self.rng.randint(0x100, 0xd7ff))
        return chr(self.rng.randint(0xe000, 0x10ffff))

    def short_string(self) -> str:
        if self.rng.random() < 0.4:
            return "".join(chr(self.rng.randint(0x20, 0x7e)) for _ in range(self.rng.randint(0, 12)))
        return "".join(self.char() for _ in range(self.rng.randint(0, 24)))

    def string(self) -> str:
        if self.rng.random() < 0.02:
            # Long enough to cross the encoder's chunking.
            piece = "".join(self.char() for _ in range(self.rng.randint(1, 64)))
            return (piece * (9000 // len(piece) + 1))[: self.rng.randint(4000, 9000)]
        return self.short_string()

    def integer(self) -> int:
        r = self.rng.random()
        if r < 0.5:
            return self.rng.randint(-1000, 1000)
        if r < 0.7:
            edge = self.rng.choice([2**31, 2**53, 2**63, 2**64, 10**18, 10**19])
            return self.rng.choice([1, -1]) * edge + self.rng.randint(-3, 3)
        if r < 0.9:
            return self.rng.randint(-(2**64), 2**64)
        return self.rng.choice([1, -1]) * self.rng.getrandbits(self.rng.randint(65, 3000))

    def real(self) -> float:
        r = self.rng.random()
        if r < 0.3:
            return struct.unpack("<d", struct.pack("<Q", self.rng.getrandbits(64)))[0]
        if r < 0.4:
            return struct.unpack("<d", struct.pack("<Q", self.rng.getrandbits(52)))[0]  # subnormal
        if r < 0.5:
            return self.rng.choice(
                [math.nan, math.inf, -math.inf, 0.0, -0.0, 1e16, 1e-5, 1e-4, 9999999999999998.0,
                 1e22, 5e-324, 2.2250738585072014e-308, 1.7976931348623157e308])
        if r < 0.7:
            return self.rng.uniform(-1, 1)
        if r < 0.85:
            return self.rng.randint(-(10**6), 10**6) / 10 ** self.rng.randint(0, 8)
        return float(self.rng.randint(2**53 - 50, 2**53 + 50)) * self.rng.choice([1, -1])

    def key(self) -> Any:
        r = self.rng.random()
        if r < 0.6:
            return self.short_string()
        if r < 0.75:
            return self.integer()
        if r < 0.9:
            return self.real()
        return self.rng.choice([True, False, None])

    def scalar(self) -> Any:
        r = self.rng.random()
        if r < 0.3:
            return self.string()
        if r < 0.5:
            return self.integer()
        if r < 0.75:
            return self.real()
        if r < 0.85:
            return self.rng.choice([None, True, False])
        maker = self.rng.choice([
            lambda: IntSub(self.integer()), lambda: FloatSub(self.real()),
            lambda: StrSub(self.string()), lambda: self.rng.choice(list(Colour))])
        return maker()

    def value(self, depth: int = 0) -> Any:
        if depth >= 4 or self.rng.random() < 0.35:
            return self.scalar()
        size = self.rng.randint(0, 6)
        r = self.rng.random()
        if r < 0.35:
            return [self.value(depth + 1) for _ in range(size)]
        if r < 0.45:
            return tuple(self.value(depth + 1) for _ in range(size))
        if r < 0.5:
            return ListSub(self.value(depth + 1) for _ in range(size))
        if r < 0.53:
            return Point(self.value(depth + 1), self.value(depth + 1))
        mapping = {self.key(): self.value(depth + 1) for _ in range(size)}
        return DictSub(mapping) if r < 0.6 else mapping


@functools.lru_cache(maxsize=None)
def generated_values(seed: int, count: int) -> tuple:
    """The same values for the same seed; cached because several tests walk one sample."""
    generator = ValueGenerator(seed)
    return tuple(generator.value() for _ in range(count))


# ---- encoder ---------------------------------------------------------------------------------


class TestDumpsScalars:
    @pytest.mark.parametrize("ensure_ascii", [True, False])
    @pytest.mark.parametrize(
        "value",
        [None, True, False, 0, 1, -1, 2**63 - 1, 2**63, -(2**63), -(2**63) - 1, 2**64, 10**100,
         -(10**100), 0.0, -0.0, 1.0, 0.1, -2.5, 1e16, 1e15, 1e-4, 1e-5, 1.5e300, 5e-324, math.nan,
         math.inf, -math.inf, 123456789012345678.0, 9007199254740993.0],
        ids=repr)
    def test_matches_json(self, value: Any, ensure_ascii: bool) -> None:
        assert _bridge.dumps(value, ensure_ascii=ensure_ascii) == json.dumps(
            value, ensure_ascii=ensure_ascii)

    def test_known_texts(self) -> None:
        assert _bridge.dumps([None, True, False]) == "[null, true, false]"
        assert _bridge.dumps([1e16, 1e-5, 1.0, -0.0, 1e15]) == "[1e+16, 1e-05, 1.0, -0.0, 1000000000000000.0]"
        assert _bridge.dumps([math.nan, math.inf, -math.inf]) == "[NaN, Infinity, -Infinity]"

    def test_bool_is_not_written_as_int(self) -> None:
        assert _bridge.dumps([True, 1, False, 0]) == "[true, 1, false, 0]"

    def test_int_and_float_subclasses_use_the_base_repr(self) -> None:
        value = [IntSub(7), FloatSub(2.5), FloatSub(math.nan), Colour.GREEN]
        assert _bridge.dumps(value) == json.dumps(value) == "[7, 2.5, NaN, 2]"

    def test_str_subclass_is_written_by_its_characters(self) -> None:
        assert _bridge.dumps(StrSub("a\u00e9")) == json.dumps(StrSub("a\u00e9")) == '"a\\u00e9"'


class TestDumpsStrings:
    def test_ascii_escapes(self) -> None:
        text = "".join(chr(c) for c in range(0x80)) + "\u00e9\u4e2d\U0001f600\ud800\udfff"
        expected = json.dumps(text, ensure_ascii=True)
        assert _bridge.dumps(text, ensure_ascii=True) == expected
        assert "\\u007f" in expected and "\\ud83d\\ude00" in expected

    def test_utf8_escapes(self) -> None:
        text = "".join(chr(c) for c in range(0x80)) + "\u00e9\u4e2d\U0001f600"
        expected = json.dumps(text, ensure_ascii=False)
        assert _bridge.dumps(text, ensure_ascii=False) == expected
        assert "\x7f" in expected and "\U0001f600" in expected

    @pytest.mark.parametrize("ensure_ascii", [True, False])
    @pytest.mark.parametrize(
        "text",
        ["", "plain", 'q"b\\s/', "\b\f\n\r\t\x00\x1f", "\x7f\x80\xff", "é" * 9000,
         "中" * 5000 + "\n", "\U0001f600" * 4097, "\ud800", "\udc00\ud800", "\ud83d\ude00",
         "a\ud800b\U0010ffff", "x" * 4095 + '"' + "y" * 10000,
         # Runs of every escape class meeting in two- and four-byte str data.
         "中文ab\"\\\x01\x7f\u00e9\ud800中" * 300, "\U0001f600ab\n\udfff\x7f\u4e2d" * 300,
         "中" * 4096 + "\x00" + "a" * 5 + "\u2028"],
        ids=lambda t: repr(t[:12]) + f"/{len(t)}")
    def test_every_kind_matches_json(self, text: str, ensure_ascii: bool) -> None:
        assert _bridge.dumps(text, ensure_ascii=ensure_ascii) == json.dumps(
            text, ensure_ascii=ensure_ascii)

    @pytest.mark.parametrize("ensure_ascii", [True, False])
    def test_every_character_in_every_position(self, ensure_ascii: bool) -> None:
        # Each special character at every offset of a 20-byte window, so that it meets the
        # eight-byte scan at each alignment.
        specials = ['"', "\\", "\x00", "\x1f", "\x7f", "\x80", "\xff", " ", "~"]
        texts = ["a" * k + s + "b" * (19 - k) for s in specials for k in range(20)]
        assert _bridge.dumps(texts, ensure_ascii=ensure_ascii) == json.dumps(
            texts, ensure_ascii=ensure_ascii)

    def test_lone_surrogates_stay_in_the_str(self) -> None:
        assert _bridge.dumps("\ud800", ensure_ascii=False) == '"\ud800"'
        assert _bridge.dumps("\ud800", ensure_ascii=True) == '"\\ud800"'


class TestDumpsContainers:
    @pytest.mark.parametrize("ensure_ascii", [True, False])
    def test_nested_containers(self, ensure_ascii: bool) -> None:
        value = {"a": [1, (2, 3), [], {}, ()], "b": {"c": {"d": [None]}}, "e": ("x",)}
        assert _bridge.dumps(value, ensure_ascii=ensure_ascii) == json.dumps(
            value, ensure_ascii=ensure_ascii)

    def test_key_conversion(self) -> None:
        value = {"s": 1, 3: 2, 2.5: 3, math.nan: 4, math.inf: 5, -math.inf: 6, True: 7,
                 False: 8, None: 9, 10**40: 10, -1.5: 11, IntSub(5): 12, FloatSub(0.5): 13,
                 StrSub("k"): 14, Colour.GREEN: 15, -0.25: 16}
        expected = json.dumps(value)
        assert _bridge.dumps(value) == expected
        assert '"NaN": 4' in expected and '"true": 7' in expected and '"null": 9' in expected
        assert '"2": 15' in expected and '"5": 12' in expected and '"-0.25": 16' in expected

    def test_colliding_keys_are_all_written(self) -> None:
        value = {1: "int", "1": "str", 1.5: "float", "1.5": "str"}
        assert _bridge.dumps(value) == json.dumps(value) == (
            '{"1": "int", "1": "str", "1.5": "float", "1.5": "str"}')

    def test_insertion_order_is_kept(self) -> None:
        value = {k: k for k in ["z", "a", "m", "b"]}
        assert _bridge.dumps(value) == '{"z": "z", "a": "a", "m": "m", "b": "b"}'

    def test_shared_references_are_not_circular(self) -> None:
        shared = [1, {"x": 2}]
        value = [shared, shared, {"a": shared, "b": shared}]
        assert _bridge.dumps(value) == json.dumps(value)

    def test_list_and_tuple_subclasses(self) -> None:
        value = [ListSub([1, 2]), TupleSub((3,)), Point(4, 5), ListSub()]
        # Subclasses are iterated, so ListSub's __iter__ decides what is written.
        assert _bridge.dumps(value) == json.dumps(value) == (
            '[["not", "used"], [3], [4, 5], ["not", "used"]]')

    def test_sequence_subclass_iteration_errors(self) -> None:
        class Failing(list):
            def __iter__(self):
                raise KeyError("iteration")

        class Shrunk(tuple):
            def __iter__(self):
                return iter(())

        for value in ([Failing([1])], [Failing()], Shrunk((1, 2))):
            assert outcome(_bridge.dumps, value) == outcome(json.dumps, value)
        assert _bridge.dumps(Shrunk((1, 2))) == "[]"
        assert outcome(_bridge.dumps, [Failing()])[:2] == ("error", KeyError)

    def test_dict_subclass_is_written_from_items(self) -> None:
        class Renamed(dict):
            def items(self):
                return [("renamed", v) for v in self.values()]

        class FromIterator(dict):
            def items(self):
                return iter([("k", 1), (2.5, [3])])

        class Empty(dict):
            def items(self):
                raise AssertionError("not called for an empty dict")

        value = [Renamed(a=1), FromIterator(x=0), Empty(), DictSub(b=2)]
        assert _bridge.dumps(value) == json.dumps(value) == (
            '[{"renamed": 1}, {"k": 1, "2.5": [3]}, {}, {"b": 2}]')

    @pytest.mark.parametrize(
        "items",
        [lambda: [("a", 1), ("b", 2, 3)], lambda: [["a", 1]], lambda: "ab", lambda: 5,
         lambda: [("a", object()), ("b",)], lambda: [((1,), 1)], lambda: 1 / 0],
        ids=["three-tuple", "list-pair", "str", "int", "object-first", "bad-key", "raises"])
    def test_dict_subclass_items_errors(self, items: Callable[[], Any]) -> None:
        class Odd(dict):
            def items(self):
                return items()

        ours = outcome(_bridge.dumps, Odd(x=1))
        assert ours[0] == "error"
        assert ours == outcome(json.dumps, Odd(x=1))


class TestDumpsErrors:
    @pytest.mark.parametrize(
        "value, text",
        [(object(), "Object of type object is not JSON serializable"),
         ({"a": [1, {2, 3}]}, "Object of type set is not JSON serializable"),
         (b"bytes", "Object of type bytes is not JSON serializable"),
         (1j, "Object of type complex is not JSON serializable"),
         ({(1, 2): 3}, "keys must be str, int, float, bool or None, not tuple"),
         ({b"k": 3}, "keys must be str, int, float, bool or None, not bytes"),
         ({"ok": 1, frozenset(): 2}, "keys must be str, int, float, bool or None, not frozenset")],
        ids=["object", "set", "bytes", "complex", "tuple-key", "bytes-key", "frozenset-key"])
    @pytest.mark.parametrize("ensure_ascii", [True, False])
    def test_type_errors(self, value: Any, text: str, ensure_ascii: bool) -> None:
        expected = outcome(json.dumps, value, ensure_ascii=ensure_ascii)
        assert expected == ("error", TypeError, text, None)
        assert outcome(_bridge.dumps, value, ensure_ascii=ensure_ascii) == expected
        assert outcome(_bridge.dumps_utf8, value, ensure_ascii=ensure_ascii) == expected

    def test_type_name_comes_from_dunder_class(self) -> None:
        class Disguised:
            @property
            def __class__(self):
                return int

        assert outcome(_bridge.dumps, Disguised()) == outcome(json.dumps, Disguised()) == (
            "error", TypeError, "Object of type int is not JSON serializable", None)

    def test_qualified_type_name_in_key_error(self) -> None:
        import datetime

        value = {datetime.date(2020, 1, 1): 1}
        assert outcome(_bridge.dumps, value) == outcome(json.dumps, value) == (
            "error", TypeError, "keys must be str, int, float, bool or None, not datetime.date",
            None)

    @pytest.mark.parametrize("make", [
        lambda: (lambda l: (l.append(l), l)[1])([]),
        lambda: (lambda d: (d.__setitem__("self", d), d)[1])({}),
        lambda: (lambda l: (l.append({"x": [l]}), [0, l])[1])([]),
        lambda: (lambda d: (d.__setitem__("x", DictSub(y=d)), d)[1])({}),
    ], ids=["list", "dict", "list-dict-list", "dict-subclass"])
    def test_circular_reference(self, make: Callable[[], Any]) -> None:
        value = make()
        expected = ("error", ValueError, "Circular reference detected", None)
        assert outcome(json.dumps, value) == expected
        assert outcome(_bridge.dumps, value) == expected
        assert outcome(_bridge.dumps_utf8, value) == expected

    def test_circular_reference_far_down(self) -> None:
        # Past the ancestors that are compared one by one.
        top: list = []
        node = top
        for _ in range(200):
            child: list = []
            node.append(child)
            node = child
        node.append(top)
        expected = ("error", ValueError, "Circular reference detected", None)
        assert outcome(_bridge.dumps, top) == outcome(json.dumps, top) == expected
        node[0] = top[0]
        assert outcome(_bridge.dumps, top) == outcome(json.dumps, top) == expected
        node[0] = "leaf"
        assert _bridge.dumps(top) == json.dumps(top)

    @pytest.mark.parametrize("target", [0, 47, 48, 49, 120, 199])
    def test_cycle_into_a_deep_ancestor(self, target: int) -> None:
        chain: list = [[]]
        for _ in range(200):
            chain.append([])
            chain[-2].append(chain[-1])
        chain[-1].append({"back": chain[target]})
        expected = ("error", ValueError, "Circular reference detected", None)
        assert outcome(_bridge.dumps, chain[0]) == outcome(json.dumps, chain[0]) == expected

    @pytest.mark.parametrize("make", [deep_list, deep_dict], ids=["list", "dict"])
    def test_recursion_error(self, make: Callable[[int], Any]) -> None:
        value = make(100_000)
        expected = outcome(json.dumps, value)
        assert expected[:3] == (
            "error", RecursionError, "maximum recursion depth exceeded while encoding a JSON object")
        assert outcome(_bridge.dumps, value) == expected
        assert outcome(_bridge.dumps_utf8, value) == expected

    @pytest.mark.parametrize("make", [deep_list, deep_dict], ids=["list", "dict"])
    def test_moderate_depth_is_fine(self, make: Callable[[int], Any]) -> None:
        value = make(sys.getrecursionlimit() // 2)
        assert _bridge.dumps(value) == json.dumps(value)

    def test_int_digit_limit(self) -> None:
        huge = 10**5000
        for value in (huge, [1, huge], {huge: 1}, {"k": -huge}):
            expected = outcome(json.dumps, value)
            assert expected[:2] == ("error", ValueError)
            assert "Exceeds the limit" in expected[2]
            assert outcome(_bridge.dumps, value) == expected

    def test_int_digit_limit_lifted(self) -> None:
        old = sys.get_int_max_str_digits()
        sys.set_int_max_str_digits(0)
        try:
            value = {10**5000: -(10**6000)}
            assert _bridge.dumps(value) == json.dumps(value)
        finally:
            sys.set_int_max_str_digits(old)


class TestDumpsUtf8:
    @pytest.mark.parametrize("ensure_ascii", [True, False])
    def test_bytes_match_encoded_json(self, ensure_ascii: bool) -> None:
        value = {"text": "中文 é \U0001f600 \n", "n": [1, 2.5, None]}
        assert _bridge.dumps_utf8(value, ensure_ascii=ensure_ascii) == json.dumps(
            value, ensure_ascii=ensure_ascii).encode("utf-8")

    def test_default_is_not_ascii(self) -> None:
        assert _bridge.dumps_utf8("中") == '"中"'.encode("utf-8")
        assert _bridge.dumps("中") == '"\\u4e2d"'

    @pytest.mark.parametrize(
        "value", ["\ud800", ["ok", "x\udfff"], {"\ud83d\ude00": 1}, "a\ud800\ud800b"],
        ids=["lone", "in-list", "pair-of-code-points", "two-lone"])
    def test_lone_surrogate_raises_like_encode(self, value: Any) -> None:
        expected = outcome(lambda v: json.dumps(v, ensure_ascii=False).encode("utf-8"), value)
        assert expected[:2] == ("error", UnicodeEncodeError)
        assert outcome(_bridge.dumps_utf8, value, ensure_ascii=False) == expected

    def test_lone_surrogate_is_escaped_when_ascii(self) -> None:
        assert _bridge.dumps_utf8("\ud800", ensure_ascii=True) == b'"\\ud800"'


class TestFloatRepr:
    def test_random_sample_matches_repr(self) -> None:
        rng = random.Random(1234)
        count = 200_000
        patterns = [rng.getrandbits(64) for _ in range(count)]
        patterns += [rng.getrandbits(52) for _ in range(count // 4)]  # subnormals
        values = list(struct.unpack(f"<{len(patterns)}d", struct.pack(f"<{len(patterns)}Q", *patterns)))
        values += [rng.random() for _ in range(count // 4)]
        values += [rng.uniform(-1e6, 1e6) for _ in range(count // 4)]
        for exponent in range(-325, 309):
            for mantissa in (1, 2, 5, 9):
                value = float(f"{mantissa}e{exponent}")
                values += [value, math.nextafter(value, 0.0), math.nextafter(value, math.inf)]
        values += [float(2**53 + k) for k in range(-300, 300)]
        values += [float(10**16 + 2 * k) for k in range(-300, 300)]
        values = [v for v in values if math.isfinite(v)]
        values += [-v for v in values[:1000]]
        assert len(values) > 300_000
        got = _bridge.dumps(values)[1:-1].split(", ")
        expected = [repr(v) for v in values]
        mismatches = [(v, g, e) for v, g, e in zip(values, got, expected) if g != e]
        assert len(got) == len(values)
        assert mismatches == []

    @pytest.mark.parametrize(
        "value, text",
        [(1e16, "1e+16"), (1e-5, "1e-05"), (1e-4, "0.0001"), (0.0, "0.0"), (-0.0, "-0.0"),
         (1.0, "1.0"), (123.0, "123.0"), (1e22, "1e+22"), (5e-324, "5e-324"),
         (9999999999999998.0, "9999999999999998.0"), (0.1, "0.1"), (1.5e-7, "1.5e-07"),
         (1.7976931348623157e308, "1.7976931348623157e+308"), (123456.789, "123456.789")])
    def test_known_texts(self, value: float, text: str) -> None:
        assert repr(value) == text
        assert _bridge.dumps(value) == text


@pytest.mark.parametrize("ensure_ascii", [True, False])
def test_codec_round_trip_agrees_with_json(ensure_ascii: bool) -> None:
    # Random bit patterns (NaN and infinities among them) and mixed-run strings, written and read
    # back by both codecs.
    rng = random.Random(99)
    count = 100_000
    floats = list(struct.unpack(f"<{count}d", struct.pack(f"<{count}Q",
                                                          *(rng.getrandbits(64) for _ in range(count)))))
    pieces = ["a", '"', "\\", "\x1f", "\x7f", "\u00e9", "中", "\U0001f600", "\ud800", "\udc00"]
    texts = ["".join(rng.choice(pieces) for _ in range(rng.randint(0, 40))) for _ in range(2000)]
    value = {"floats": floats, "texts": texts}
    text = json.dumps(value, ensure_ascii=ensure_ascii)
    assert _bridge.dumps(value, ensure_ascii=ensure_ascii) == text
    for document in (text, text.encode("utf-8", "surrogatepass")):
        assert same_value(_bridge.loads(document), json.loads(document))


def kinds_in(value: Any, found: collections.Counter) -> None:
    """Counts the kinds of leaves, containers and keys in a generated value."""
    if isinstance(value, str):
        found["str"] += 1
        found["str-subclass"] += type(value) is not str
        found["ascii"] += any(" " <= c <= "~" for c in value)
        found["control"] += any(c < " " or c == "\x7f" for c in value)
        found["cjk"] += any("\u4e00" <= c <= "\u9fff" for c in value)
        found["non-bmp"] += any(c > "\uffff" for c in value)
        found["lone-surrogate"] += any("\ud800" <= c <= "\udfff" for c in value)
        found["long-str"] += len(value) > 4096
    elif isinstance(value, bool) or value is None:
        found["bool-or-none"] += 1
    elif isinstance(value, int):
        found["int-subclass"] += type(value) is not int
        found["small-int"] += abs(value) < 2**63
        found["huge-int"] += abs(value) >= 2**64
    elif isinstance(value, float):
        found["float-subclass"] += type(value) is not float
        found["nan"] += math.isnan(value)
        found["inf"] += math.isinf(value)
        found["negative-zero"] += value == 0 and math.copysign(1, value) < 0
        found["subnormal"] += 0 < abs(value) < sys.float_info.min
    elif isinstance(value, tuple):
        found["tuple"] += 1
        for item in value:
            kinds_in(item, found)
    elif isinstance(value, list):
        found["list-subclass" if type(value) is not list else "list"] += 1
        for item in value:
            kinds_in(item, found)
    elif isinstance(value, dict):
        found["dict-subclass" if type(value) is not dict else "dict"] += 1
        for key, item in value.items():
            found["key-" + ("bool-or-none" if key is None or isinstance(key, bool)
                            else type(key).__name__)] += 1
            kinds_in(item, found)


class TestGeneratedValues:
    COUNT = 10_000

    @pytest.mark.parametrize("ensure_ascii", [True, False])
    def test_sample_covers_every_kind(self, ensure_ascii: bool) -> None:
        found: collections.Counter = collections.Counter()
        for value in generated_values(20240611 + ensure_ascii, self.COUNT):
            kinds_in(value, found)
        needed = ["str", "str-subclass", "ascii", "control", "cjk", "non-bmp", "lone-surrogate",
                  "long-str", "bool-or-none", "int-subclass", "small-int", "huge-int",
                  "float-subclass", "nan", "inf", "negative-zero", "subnormal", "tuple", "list",
                  "list-subclass", "dict", "dict-subclass", "key-str", "key-int", "key-float",
                  "key-bool-or-none"]
        assert {kind: found[kind] for kind in needed if found[kind] < 20} == {}

    @pytest.mark.parametrize("ensure_ascii", [True, False])
    def test_dumps_matches_json(self, ensure_ascii: bool) -> None:
        values = generated_values(20240611 + ensure_ascii, self.COUNT)
        assert len(values) == self.COUNT
        mismatches = []
        for value in values:
            ours = outcome(_bridge.dumps, value, ensure_ascii=ensure_ascii)
            theirs = outcome(json.dumps, value, ensure_ascii=ensure_ascii)
            if ours != theirs:
                mismatches.append((value, ours, theirs))
        assert mismatches == []

    @pytest.mark.parametrize("ensure_ascii", [True, False])
    def test_dumps_utf8_matches_encoded_json(self, ensure_ascii: bool) -> None:
        values = generated_values(777 + ensure_ascii, self.COUNT)
        errors = 0
        for value in values:
            ours = outcome(_bridge.dumps_utf8, value, ensure_ascii=ensure_ascii)
            theirs = outcome(lambda v: json.dumps(v, ensure_ascii=ensure_ascii).encode("utf-8"),
                             value)
            assert ours == theirs, value
            errors += ours[0] == "error"
        # Lone surrogates make some of these fail; only ensure_ascii=True never does.
        assert (errors == 0) == ensure_ascii

    @pytest.mark.parametrize("ensure_ascii", [True, False])
    def test_loads_of_dumps_matches_json(self, ensure_ascii: bool) -> None:
        values = generated_values(99 + ensure_ascii, self.COUNT)
        for value in values:
            text = json.dumps(value, ensure_ascii=ensure_ascii)
            ours = outcome(_bridge.loads, text)
            theirs = outcome(json.loads, text)
            assert same_outcome(ours, theirs), text
            data = text.encode("utf-8", "surrogatepass")
            assert same_outcome(outcome(_bridge.loads, data), outcome(json.loads, data)), text

    def test_loads_reads_own_output(self) -> None:
        for value in generated_values(5, 2000):
            text = _bridge.dumps(value)
            assert same_value(_bridge.loads(text), json.loads(text))


# ---- decoder ---------------------------------------------------------------------------------


class TestLoadsValues:
    @pytest.mark.parametrize(
        "text",
        ["0", "-0", "-0.0", "1", "-1", "123456789012345678", "1234567890123456789",
         "-9223372036854775808", "18446744073709551616", "1" * 4000, "1.5", "1E5", "1e+5",
         "1e-5", "2.5e-324", "1e400", "-1e400", "1e-400", "-1e-400", "0.1", "3.141592653589793",
         "9007199254740993", "9007199254740993.0", "1.7976931348623157e308",
         "1.7976931348623159e308", "4.9406564584124654e-324", "2.4703282292062327e-324",
         "0." + "0" * 400 + "1", "1" + "0" * 400 + ".5",
         "123456789012345678901234567890.123456789e-20"],
        ids=lambda t: t[:24])
    def test_numbers(self, text: str) -> None:
        assert same_value(_bridge.loads(text), json.loads(text))

    def test_random_floats_round_correctly(self) -> None:
        rng = random.Random(42)
        texts = []
        for _ in range(20_000):
            digits = "".join(rng.choice("0123456789") for _ in range(rng.randint(1, 40)))
            fraction = "".join(rng.choice("0123456789") for _ in range(rng.randint(1, 30)))
            texts.append(f"{rng.choice(['', '-'])}{digits.lstrip('0') or '0'}.{fraction}"
                         f"e{rng.randint(-340, 320)}")
        for _ in range(20_000):
            texts.append(repr(struct.unpack("<d", struct.pack("<Q", rng.getrandbits(63)))[0]))
        texts = [t for t in texts if "n" not in t]
        ours = _bridge.loads("[" + ", ".join(texts) + "]")
        assert len(ours) == len(texts)
        assert all(same_value(o, float(t)) for o, t in zip(ours, texts))

    def test_strings(self) -> None:
        text = r'["\"\\\/\b\f\n\r\t", "\u0041\u00e9\u4e2d", "\ud834\udd1e", "\ud800", "\udc00\ud800",' \
               r' "\ud800\u0041", "\ud800\ud800\udc00", "\uDBFF\uDFFF", "é中😀", ""]'
        ours = _bridge.loads(text)
        assert same_value(ours, json.loads(text))
        assert ours[2] == "\U0001d11e" and ours[3] == "\ud800" and ours[6] == "\ud800\U00010000"

    def test_raw_lone_surrogates_and_kinds(self) -> None:
        for text in ['"\ud800"', '["a", "\xe9", "\u4e2d", "\U0001f600", "\ud800x"]',
                     '{"k\u4e2d": "v", "k": "\U0001f600"}']:
            assert same_value(_bridge.loads(text), json.loads(text))

    def test_constants_are_json_decoder_objects(self) -> None:
        ours = _bridge.loads("[NaN, Infinity, -Infinity]")
        assert ours[0] is json.decoder.NaN
        assert ours[1] is json.decoder.PosInf
        assert ours[2] is json.decoder.NegInf
        assert ours == json.loads("[NaN, Infinity, -Infinity]")

    def test_duplicate_key_keeps_first_position_and_last_value(self) -> None:
        ours = _bridge.loads('{"a": 1, "b": 2, "a": 3}')
        assert list(ours.items()) == [("a", 3), ("b", 2)]

    def test_whitespace(self) -> None:
        text = ' \t\n\r{ "a" \n: [ 1 ,\t2 ] ,"b":{ } } \r\n'
        assert same_value(_bridge.loads(text), json.loads(text))

    def test_many_distinct_and_repeated_keys(self) -> None:
        # More keys than the key cache holds, repeated, in several str kinds.
        rng = random.Random(7)
        keys = [f"key{i}" for i in range(1000)] + [f"k\u00e9{i}" for i in range(50)] + \
            [f"k\u4e2d{i}" for i in range(50)] + ["esc\\u0041ped", "with\\nnewline"]
        records = [{rng.choice(keys): i for i in range(8)} for _ in range(500)]
        text = "[" + ", ".join(
            "{" + ", ".join(f'"{k}": {v}' for k, v in r.items()) + "}" for r in records) + "]"
        for doc in (text, text + " " * 3 + "", text.replace("]", "]\u4e2d"[:1])):
            assert same_value(_bridge.loads(doc), json.loads(doc))
        wide = text[:-1] + ', "\U0001f600"]'
        assert same_value(_bridge.loads(wide), json.loads(wide))

    def test_str_subclass_input(self) -> None:
        assert same_value(_bridge.loads(StrSub('{"a": [1]}')), {"a": [1]})


MALFORMED = [
    "", " ", "[", "]", "{", "}", "[1,]", "[1 2]", "[,1]", '{"a":1,}', '{"a" 1}', '{"a":}', '{a:1}',
    '{"a":1 "b":2}', "{'a':1}", '{"a"', '{"a":', "[1,", "nul", "tru", "fals", "nulll", "NaNx",
    "-", "-x", "+1", ".5", "1.", "1.e5", "1e", "1e+", "1E-", "01", "-01", "00", "1 2", "[] []",
    '"abc', '"\\', '"\\"', '"\\x"', '"\\u"', '"\\u12"', '"\\u12', '"\\u1234', '"\\uzzzz"',
    '"\\u-123"', '"\\u0x12"', '"\\ud800\\u00"', '"\\ud800\\uzzzz"', '"\\ud800\\udc00',
    '"\\ud800\\x"', '"\\ud800\\', '"a\x00b"', '"\x1f"', '"\n"', '"\t"', "\u3000 1", "[1]x",
    '{"a":1}x', "Infinit", "-Infinit", "-Infinityx", "[-]", "[1.5e]", "tRue", "\x00", "[\n1,\n]",
    '{"a":1,\n"b":\n}', "[" * 10 + "]" * 9, '{"a":[{"b":1]}', "[1}", '{"a":1]',
    '"\x7f', "\ufeff1", "1\ufeff", '["\ud800" 1]',
]


class TestLoadsErrors:
    @pytest.mark.parametrize("text", MALFORMED, ids=repr)
    def test_malformed_text(self, text: str) -> None:
        expected = outcome(json.loads, text)
        assert expected[0] == "error"
        assert outcome(_bridge.loads, text) == expected

    @pytest.mark.parametrize("text", [t for t in MALFORMED if "\ud800" not in t], ids=repr)
    def test_malformed_bytes(self, text: str) -> None:
        data = text.encode("utf-8")
        assert outcome(_bridge.loads, data) == outcome(json.loads, data)
        assert outcome(_bridge.loads, bytearray(data)) == outcome(json.loads, bytearray(data))

    def test_error_carries_doc_and_position(self) -> None:
        text = '{\n  "a": [1,\n  2,,]\n}'
        with pytest.raises(json.JSONDecodeError) as ours:
            _bridge.loads(text)
        with pytest.raises(json.JSONDecodeError) as theirs:
            json.loads(text)
        assert ours.value.doc is text
        assert (ours.value.msg, ours.value.pos, ours.value.lineno, ours.value.colno) == (
            theirs.value.msg, theirs.value.pos, theirs.value.lineno, theirs.value.colno)
        assert str(ours.value) == "Expecting value: line 3 column 5 (char 17)"

    def test_generated_mutations(self) -> None:
        rng = random.Random(31337)
        alphabet = list('{}[],:"\\u0123456789abcdefABCDEF-+.eE ntrufalsNIiy\t\n\r\x00\x01\x1f\x7f') + [
            "\ud800", "\udc00", "\u00e9", "\u4e2d", "\U0001f600", "\\u", "\\ud800", "\\udc00",
            "null", "true", "NaN", "Infinity", "-Infinity"]
        seeds = [json.dumps(v) for v in generated_values(3, 40)] + [
            '{"a": [1, 2.5, "x\\n"], "b": {"c": null}}', '[1e5, -0, 0.5e-3, "\\ud834\\udd1e", NaN]']
        compared = errors = 0
        for _ in range(12_000):
            text = rng.choice(seeds)
            for _ in range(rng.randint(1, 3)):
                at = rng.randint(0, len(text))
                op = rng.random()
                if op < 0.45:
                    text = text[:at] + rng.choice(alphabet) + text[at:]
                elif op < 0.8:
                    text = text[:at] + text[at + 1:]
                else:
                    text = text[:at]
            ours = outcome(_bridge.loads, text)
            theirs = outcome(json.loads, text)
            assert same_outcome(ours, theirs), text
            compared += 1
            errors += theirs[0] == "error"
        assert compared == 12_000 and errors > 6000

    def test_generated_byte_mutations(self) -> None:
        # UTF-8 input is read without decoding it first; broken UTF-8 anywhere, including
        # inside strings and around escapes, must still give json's errors.
        rng = random.Random(4242)
        pieces = [b"\xff", b"\xc3", b"\xa9", b"\xe4\xb8", b"\xe4\xb8\xad", b"\xed\xa0\x80",
                  b"\xed\xb8\x80", b"\xf0\x9f\x98\x80", b"\xf0\x9f", b"\xc0\xaf", b"\xf4\x90\x80\x80",
                  b'"', b"\\", b"\\u", b"\\ud83d", b"\\ude00", b"\\n", b"\x00", b"\x1f", b" ", b",",
                  b":", b"[", b"]", b"{", b"}", b"1", b"e", b"-", b"."]
        seeds = [json.dumps(v, ensure_ascii=False).encode("utf-8", "surrogatepass")
                 for v in generated_values(8, 40)]
        seeds += ['{"é": ["中文", "\\u00e9\\ud83d\\ude00", "x\\ny"], "k": 1.5}'.encode()]
        errors = 0
        for _ in range(8000):
            data = rng.choice(seeds)
            for _ in range(rng.randint(1, 3)):
                at = rng.randint(0, len(data))
                op = rng.random()
                if op < 0.5:
                    data = data[:at] + rng.choice(pieces) + data[at:]
                elif op < 0.85:
                    data = data[:at] + data[at + 1:]
                else:
                    data = data[:at]
            theirs = outcome(json.loads, data)
            assert same_outcome(outcome(_bridge.loads, data), theirs), data
            errors += theirs[0] == "error"
        assert errors > 4000

    def test_int_digit_limit(self) -> None:
        for text in ("1" * 5000, "[-" + "9" * 4301 + "]", '{"a": ' + "1" * 4400 + "}"):
            expected = outcome(json.loads, text)
            assert expected[:2] == ("error", ValueError)
            assert outcome(_bridge.loads, text) == expected


class TestLoadsInputs:
    DOC = {"text": "中文 é \U0001f600", "n": [1, 2.5, None, True], "s": "\ud800"}

    @pytest.mark.parametrize(
        "encoding", ["utf-8", "utf-8-sig", "utf-16", "utf-16-le", "utf-16-be", "utf-32",
                     "utf-32-le", "utf-32-be"])
    def test_bytes_in_every_detected_encoding(self, encoding: str) -> None:
        data = json.dumps(self.DOC, ensure_ascii=False).encode(encoding, "surrogatepass")
        expected = json.loads(data)
        assert same_value(_bridge.loads(data), expected)
        assert same_value(_bridge.loads(bytearray(data)), expected)

    @pytest.mark.parametrize(
        "data", [b"", b"1", b"12", b"\x001", b"1\x00", b"\x00\x00\x001", b"[1]\x00", b"\xff",
                 b'"\xed\xa0\x80"', b'"\xc3"', b"\xef\xbb\xbf", b"\xef\xbb\xbf\xef\xbb\xbf1",
                 b"\xff\xfe1", b"\xfe\xff\x001", b'["\xe4\xb8\xad", 1', b"\x00\x00\xfe\xff",
                 b'"\\ud83d\xed\xb8\x80"', b'"\xed\xa0\xbd\\ude00"', b'"\xed\xa0\xbd\xed\xb8\x80"',
                 b'{"\xc3\xa9": "\xe4\xb8\xad\\n"}', b'"\xe4\\n"', b'"\\n\xb8"', b"[1]\xff",
                 b'"\xf0\x9f\x98\x80\\u00e9"', b"1 \xc3\xa9", b'"\xe4\xb8\xad', b'{"a\xff": 1}'],
        ids=repr)
    def test_edge_bytes(self, data: bytes) -> None:
        assert same_outcome(outcome(_bridge.loads, data), outcome(json.loads, data))

    def test_utf8_bom_in_str(self) -> None:
        expected = outcome(json.loads, "\ufeff[1]")
        assert expected[1:] == (json.JSONDecodeError,
                                "Unexpected UTF-8 BOM (decode using utf-8-sig): line 1 column 1 (char 0)",
                                ("Unexpected UTF-8 BOM (decode using utf-8-sig)", 0, 1, 1))
        assert outcome(_bridge.loads, "\ufeff[1]") == expected

    def test_invalid_utf8_raises_decode_error(self) -> None:
        data = b'{"a": "\xe4\xb8"}'
        expected = outcome(json.loads, data)
        assert expected[:2] == ("error", UnicodeDecodeError)
        assert outcome(_bridge.loads, data) == expected

    @pytest.mark.parametrize("value", [5, None, memoryview(b"1"), ["1"], 1.5])
    def test_wrong_type(self, value: Any) -> None:
        expected = outcome(json.loads, value)
        assert expected[:2] == ("error", TypeError)
        assert outcome(_bridge.loads, value) == expected


class TestRecursion:
    @pytest.mark.parametrize("text", ["[" * 100_000, '{"a":' * 100_000],
                             ids=["arrays", "objects"])
    def test_deep_input_raises_recursion_error(self, text: str) -> None:
        expected = outcome(json.loads, text)
        assert expected[1] is RecursionError
        assert outcome(_bridge.loads, text) == expected
        assert outcome(_bridge.loads, text.encode()) == expected

    def test_deep_mixed_input(self) -> None:
        # json.loads spends a few recursion levels on its own Python frames, so in alternating
        # nesting the limit may trip on the other kind of container than in ours.
        text = '[{"a":' * 50_000
        ours = outcome(_bridge.loads, text)
        assert outcome(json.loads, text)[1] is RecursionError
        assert ours[1] is RecursionError
        assert ours[2] in {f"maximum recursion depth exceeded while decoding a JSON {kind} from a "
                           "unicode string" for kind in ("array", "object")}

    def test_moderate_depth_is_fine(self) -> None:
        depth = sys.getrecursionlimit() // 2
        text = "[" * depth + "1" + "]" * depth
        ours = _bridge.loads(text)
        assert ours == json.loads(text)
        for _ in range(depth):
            assert type(ours) is list and len(ours) == 1
            ours = ours[0]
        assert ours == 1

    @pytest.mark.parametrize("stack_size", [1 << 20, 8 << 20], ids=["1MiB", "8MiB"])
    def test_raised_limit_cannot_overflow_the_native_stack(self, stack_size: int) -> None:
        # With the recursion limit far above what the thread's stack holds, the codec must
        # still stop with a RecursionError instead of crashing the process.
        depth = 400_000
        results: dict[str, Any] = {}

        def work() -> None:
            old = sys.getrecursionlimit()
            sys.setrecursionlimit(10_000_000)
            try:
                results["loads"] = outcome(_bridge.loads, "[" * depth)
                results["loads_bytes"] = outcome(_bridge.loads, b'{"a":' * depth)
                results["dumps"] = outcome(_bridge.dumps, deep_list(depth))
                results["dumps_dict"] = outcome(_bridge.dumps_utf8, deep_dict(depth))
                results["fine"] = _bridge.loads("[" * 100 + "]" * 100)
            finally:
                sys.setrecursionlimit(old)

        previous = threading.stack_size(stack_size)
        try:
            thread = threading.Thread(target=work)
            thread.start()
            thread.join()
        finally:
            threading.stack_size(previous)
        decoding = "maximum recursion depth exceeded while decoding a JSON {} from a unicode string"
        encoding = "maximum recursion depth exceeded while encoding a JSON object"
        assert results["loads"][:3] == ("error", RecursionError, decoding.format("array"))
        assert results["loads_bytes"][:3] == ("error", RecursionError, decoding.format("object"))
        assert results["dumps"][:3] == ("error", RecursionError, encoding)
        assert results["dumps_dict"][:3] == ("error", RecursionError, encoding)
        assert results["fine"] == deep_list(99)


class TestMutationDuringEncoding:
    @staticmethod
    def emptied_list() -> list:
        outer: list = []

        class Clearing(dict):
            def items(self):
                outer.clear()
                return [("k", [1, 2])]

        outer.extend([Clearing(a=1), "after", {"x": "y"}])
        return outer

    @staticmethod
    def changed_dict() -> dict:
        outer: dict = {}

        class Changing(dict):
            def items(self):
                outer.clear()
                outer["new"] = 1
                return [("k", 2)]

        outer.update(first=Changing(a=1), second="kept", third=[3])
        return outer

    def test_items_that_empty_the_enclosing_list(self) -> None:
        # The list shrank under the encoder: it stops where json's encoder stops.
        assert _bridge.dumps(self.emptied_list()) == json.dumps(self.emptied_list()) == (
            '[{"k": [1, 2]}]')

    def test_items_that_change_the_enclosing_dict(self) -> None:
        # The enclosing dict is written as it was when its writing began.
        value = self.changed_dict()
        assert _bridge.dumps(value) == json.dumps(self.changed_dict()) == (
            '{"first": {"k": 2}, "second": "kept", "third": [3]}')
        assert value == {"new": 1}


class TestReferenceCounts:
    def test_failed_dumps_release_everything(self) -> None:
        item = object()
        inner = {"x": [1.5, "s", item]}
        value = [inner, (inner,)]
        before = (sys.getrefcount(item), sys.getrefcount(inner), sys.getrefcount(value))
        for _ in range(2000):
            with pytest.raises(TypeError):
                _bridge.dumps(value)
            with pytest.raises(TypeError):
                _bridge.dumps_utf8(value)
        assert (sys.getrefcount(item), sys.getrefcount(inner), sys.getrefcount(value)) == before

    def test_circular_and_key_errors_release_everything(self) -> None:
        loop: list = [1, {"a": 2}]
        loop.append(loop)
        bad_key = {"ok": [1], (1,): 2}
        before = (sys.getrefcount(loop), sys.getrefcount(bad_key))
        for _ in range(2000):
            with pytest.raises(ValueError):
                _bridge.dumps(loop)
            with pytest.raises(TypeError):
                _bridge.dumps(bad_key)
        assert (sys.getrefcount(loop), sys.getrefcount(bad_key)) == before

    def test_successful_calls_keep_counts(self) -> None:
        value = {"a": [1.5, 10**30, "x", None, (1, 2)], "b": DictSub(c="d")}
        text = json.dumps(value)
        before = (sys.getrefcount(value), sys.getrefcount(value["a"]), sys.getrefcount(text))
        for _ in range(2000):
            _bridge.dumps(value)
            _bridge.dumps_utf8(value)
            _bridge.loads(text)
        assert (sys.getrefcount(value), sys.getrefcount(value["a"]), sys.getrefcount(text)) == before

    def test_no_growth_over_many_failing_loads(self) -> None:
        texts = ['[1, 2, {"a": "b", "c": [3, 4', '{"k": [1.5, "x", {"y": nul}]}',
                 '["abc", "\\ud800\\uzzzz"]', "[" * 5000, '{"a": 1, "b": [1, 2, 3,]}',
                 '["' + "x" * 100 + '", ' * 50 + "1x"]
        data = [t.encode() for t in texts] + [b'["\xff"]']

        def run() -> None:
            for text in texts + data:
                try:
                    _bridge.loads(text)
                except (ValueError, RecursionError):
                    pass

        run()
        gc.collect()
        tracemalloc.start()
        try:
            run()
            gc.collect()
            start = tracemalloc.get_traced_memory()[0]
            for _ in range(300):
                run()
            gc.collect()
            growth = tracemalloc.get_traced_memory()[0] - start
        finally:
            tracemalloc.stop()
        assert growth < 64 * 1024

    def test_no_growth_over_many_successful_loads(self) -> None:
        text = json.dumps(generated_values(11, 50))

        def run() -> None:
            for _ in range(20):
                _bridge.loads(text)

        run()
        gc.collect()
        tracemalloc.start()
        try:
            run()
            gc.collect()
            start = tracemalloc.get_traced_memory()[0]
            for _ in range(20):
                run()
            gc.collect()
            growth = tracemalloc.get_traced_memory()[0] - start
        finally:
            tracemalloc.stop()
        assert growth < 64 * 1024
