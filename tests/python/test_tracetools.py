"""The tracetools module: Langfuse set-up at import, the handler lookups, the paged collection of a
trace's observations, the profile summary, and a LangChain run recorded by the Langfuse stand-in
and read back into a report."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile
import threading
import time
from datetime import datetime, timedelta, timezone
from types import SimpleNamespace

import httpx
import pytest
from langchain_core.callbacks import CallbackManager
from langfuse.callback import CallbackHandler

from mosswork_utils import tracetools

STANDIN = "http://127.0.0.1:3000"
T0 = datetime(2026, 1, 1, tzinfo=timezone.utc)
NS = 1_000_000_000


def obs(i, name="step", *, type="SPAN", start=0.0, latency=0.1, running=False, parent=None,
        **model):
    """An observation as the SDK's listing gives it; `start` is seconds after T0."""
    begin = T0 + timedelta(seconds=start)
    return SimpleNamespace(
        id=f"o{i}", name=name, type=type, start_time=begin, parent_observation_id=parent,
        end_time=None if running else begin + timedelta(seconds=latency), latency=latency,
        model=model.pop("model", None), input=model.pop("input", None),
        output=model.pop("output", None), **model)


def generation(i, start=0.0, latency=1.0, **extra):
    fields = dict(completionTokens=4, model="gpt", input=[{"content": "q"}],
                  output={"content": "answer"})
    fields.update(extra)
    return obs(i, "ChatOpenAI", type="GENERATION", start=start, latency=latency, **fields)


def trace(n, *extra):
    """n observations in listing order (newest first): a parser, a model call, plain steps."""
    steps = [obs(i, start=0.001 * (n - i)) for i in range(n - 2)]
    return [obs(n, "vynStrOutputParser", start=1.0), generation(n + 1, start=0.5), *extra, *steps]


# ---- set-up at import -----------------------------------------------------------------------

CHILD = """
import json, os, sys
set_order = []
class Recording(type(os.environ)):
    def __setitem__(self, key, value):
        super().__setitem__(key, value)
        set_order.append(key)
os.environ = Recording(os.environ._data, os.environ.encodekey, os.environ.decodekey,
                       os.environ.encodevalue, os.environ.decodevalue)
try:
    from mosswork_utils import tracetools as t
    out = {"handler": type(t.langfuse_handler).__name__, "client": type(t.langfuse).__name__}
except Exception as e:
    out = {"error": f"{type(e).__name__}"}
out["set"] = set_order
out["env"] = {k: os.environ.get(k) for k in ("LANGFUSE_PUBLIC_KEY", "LANGFUSE_SECRET_KEY", "LANGFUSE_HOST")}
print(json.dumps(out))
"""
KEYS = {"LANGFUSE_PUBLIC_KEY": "pk", "LANGFUSE_SECRET_KEY": "sk"}
ORDER = ["LANGFUSE_PUBLIC_KEY", "LANGFUSE_SECRET_KEY", "LANGFUSE_HOST"]
NONE_SET = {"handler": "NoneType", "client": "NoneType", "set": [],
            "env": dict.fromkeys(ORDER)}


@pytest.mark.parametrize("service, expected", [
    ({"build_version": "1"}, NONE_SET),
    ({"LANGFUSE_HOST": "", **KEYS}, NONE_SET),
    ({"LANGFUSE_HOST": STANDIN, **KEYS},
     {"handler": "LangchainCallbackHandler", "client": "Langfuse", "set": ORDER,
      "env": {"LANGFUSE_PUBLIC_KEY": "pk", "LANGFUSE_SECRET_KEY": "sk", "LANGFUSE_HOST": STANDIN}}),
    # The secret key cannot be set to None: the import fails after the public key was set.
    ({"LANGFUSE_HOST": STANDIN, "LANGFUSE_PUBLIC_KEY": "pk"},
     {"error": "TypeError", "set": ["LANGFUSE_PUBLIC_KEY"],
      "env": {"LANGFUSE_PUBLIC_KEY": "pk", "LANGFUSE_SECRET_KEY": None, "LANGFUSE_HOST": None}}),
    (None, {"error": "ValueError", "set": [], "env": dict.fromkeys(ORDER)}),
])
def test_import_sets_up_langfuse_from_the_service_section(root, tmp_path, service, expected):
    config = tmp_path / "service.yaml"
    config.write_text(json.dumps({"service": service} if service is not None else {"other": {}}))
    env = {k: v for k, v in os.environ.items() if not k.startswith("LANGFUSE_")}
    env.update(PYTHONPATH=str(root), MOSSWORK_CONFIG=str(config))
    run = subprocess.run([sys.executable, "-c", CHILD], env=env, capture_output=True, text=True,
                         timeout=120)
    assert json.loads(run.stdout.splitlines()[-1]) == expected, run.stderr


# ---- handler lookups ------------------------------------------------------------------------

class DerivedHandler(CallbackHandler):
    pass


@pytest.fixture(scope="module")
def handlers():
    keys = dict(public_key="pk-lf-local", secret_key="sk-lf-local", host=STANDIN)
    first, second, derived = CallbackHandler(**keys), CallbackHandler(**keys), DerivedHandler(**keys)
    first.trace, second.trace = "trace-1", "trace-2"
    return {"first": first, "second": second, "derived": derived}


@pytest.mark.parametrize("attached, expected", [
    (["first", "second"], "first"),
    (["derived", "second"], "second"),
    (["derived"], None),
    ([], None),
])
def test_lookups_find_the_first_exact_callback_handler(handlers, attached, expected):
    config = {"callbacks": CallbackManager(handlers=[handlers[n] for n in attached])}
    want = handlers[expected] if expected else None
    assert tracetools.get_langfuse_handler(config) is want
    assert tracetools.get_langfuse_trace(config) == (want.trace if want else None)


def test_lookup_without_callbacks_fails():
    with pytest.raises(KeyError):
        tracetools.get_langfuse_handler({})


# ---- collection -----------------------------------------------------------------------------

RUNNING = trace(60)
RUNNING[5] = obs(3, start=0.0, running=True)
GROWN = trace(61)


@pytest.mark.parametrize("states, calls, rows", [
    # Pages 1-3, then page 4, beyond the last page, ends the loop.
    ([trace(120)], [None, 2, 3, 4], 120),
    # A running observation: the page is read again, its finished ones are not counted twice.
    ([RUNNING, trace(60)], [None, 1, 2, 3], 60),
    # The trace grew between two page calls: collected again from page 1.
    ([trace(60), GROWN], [None, 2, None, 2, 3], 61),
])
def test_collection_pages_waits_and_restarts(fake_langfuse, states, calls, rows):
    fake = fake_langfuse(*states)
    got = tracetools._profile("t")
    assert fake.calls == calls
    ids = [r["id"] for r in got["rows"]]
    assert len(ids) == len(set(ids)) == rows


@pytest.mark.slow
def test_collection_ends_after_thirty_waits_with_the_pages_read(fake_langfuse):
    stuck = trace(60)
    stuck[55] = obs(53, running=True)  # on page 2
    fake = fake_langfuse(stuck)
    got = tracetools._profile("t")
    assert fake.calls == [None, 2] + [2] * 30
    assert sorted(r["id"] for r in got["rows"]) == sorted(o.id for o in stuck[:50])


def test_waits_release_the_gil(fake_langfuse):
    fake_langfuse(RUNNING, RUNNING, RUNNING, trace(60))
    ticks, done = [], threading.Event()

    def tick():
        while not done.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.01)

    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        tracetools._profile("t")
    finally:
        done.set()
        ticker.join()
    # Three waits of 0.2 s: a ticker kept from the GIL would stall for one at least.
    assert max(b - a for a, b in zip(ticks, ticks[1:])) < 0.19


def test_stamps_beyond_what_nanoseconds_hold_are_refused_and_far_ones_subtract(fake_langfuse):
    far = obs(90)
    far.start_time, far.end_time, far.latency = datetime(1700, 1, 1), datetime(2250, 1, 1), None
    fake_langfuse(trace(4, far))
    (row,) = [r for r in tracetools._profile("t")["rows"] if r["id"] == "o90"]
    assert row["latency"] == pytest.approx((far.end_time - far.start_time).total_seconds())
    late = obs(91)
    late.end_time = datetime(3000, 1, 1, tzinfo=timezone.utc)
    fake_langfuse(trace(4, late))
    with pytest.raises(ValueError, match="^end_time is outside the times a trace can hold"):
        tracetools._profile("t")


def test_later_retriever_binding_sets_the_retrieval_duration(fake_langfuse):
    fake_langfuse(trace(10, obs(90, "retriever_binding", latency=2.0),
                        obs(91, "reranker", latency=1.0), obs(92, "retriever_binding", latency=0.5)))
    retrieve = tracetools._profile("t")["result"]["retrieve"]
    assert (retrieve["duration"], retrieve["speedup"]) == (0.5, 2.0)


def test_trace_without_model_call_fails_and_leaves_its_file(fake_langfuse, monkeypatch, tmp_path):
    fake_langfuse([obs(1, "vynStrOutputParser")])
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
    with pytest.raises(AssertionError, match="^None generation found.$"):
        tracetools.langfuse_profiling("t")
    (left,) = tmp_path.iterdir()
    assert left.suffix == ".html" and left.stat().st_size == 0


def test_unconfigured_client_fails_at_the_first_listing(monkeypatch):
    monkeypatch.setattr(tracetools, "langfuse", None)
    with pytest.raises(AttributeError, match="get_observations"):
        tracetools._profile("t")


# ---- profile summary ------------------------------------------------------------------------

def test_summary_numbers(fake_langfuse):
    # Listing order, newest first; the rows are this reversed, so "root" is row 0 at 1.0 s.
    fake_langfuse([
        obs(7, "vynStrOutputParser", start=4.0, latency=0.5),
        obs(6, "early", start=0.25, latency=0.1),
        obs(5, "ChatOpenAI", start=2.0, latency=0.5, output={"content": "ok"},
            input=[{"content": "x"}]),
        generation(4, start=2.5, latency=2, completionTokens=10, input=[{"content": "a"},
                   {"content": "b"}], output={"content": "héllo"}),
        obs(3, "reranker", start=1.6, latency=0.5),
        obs(2, "VectorStoreRetriever", start=1.5, latency=0.75),
        obs(1, "retriever_binding", start=1.5, latency=1.0),
        obs(0, "root", start=1.0, latency=4.5),
    ])
    got = tracetools._profile("t")
    assert [r["time_offset"] for r in got["rows"]] == pytest.approx(
        [0, 0.5, 0.5, 0.6, 1.5, 1.0, -0.75, 3.0])
    assert [r["no"] for r in got["rows"]] == list(range(8)) and got["root_trace_id"] == "o0"
    result = got["result"]
    assert result["duration"] == pytest.approx(3.5)
    assert result["time_to_first_token"] == pytest.approx(3.0)
    assert result["first_token_timestamp"] == int((T0.timestamp() + 4.0) * NS)
    # Only the GENERATION counts; the ChatOpenAI span still gets an entry, in collection order.
    assert result["generation"]["duration"] == 2
    span, call = result["generation"]["processes"]["ChatOpenAI"]
    assert span["output_token"] is None and span["token/s"] is None
    assert span["charactor/s"] == pytest.approx(4.0)
    assert call == {"output_token": 10, "duration": 2, "time_offset": pytest.approx(1.5),
                    "charactor_num": 5, "model": "gpt", "input": "a\nb", "output": "héllo",
                    "charactor/s": pytest.approx(2.5), "token/s": pytest.approx(5.0)}
    retrieve = result["retrieve"]
    assert retrieve["duration"] == 1.0 and retrieve["speedup"] == pytest.approx(1.25)
    assert retrieve["processes"]["reranker"] == [{"duration": 0.5, "time_offset": pytest.approx(0.6)}]
    assert retrieve["processes"]["VectorStoreRetriever"] == [
        {"duration": 0.75, "time_offset": pytest.approx(0.5)}]
    assert (got["build_version"], got["build_date"]) == ("1.0.0", "2026-12-08")


@pytest.mark.parametrize("fields, rates", [
    # A cached answer takes no time: no rate rather than a division by zero.
    ({"latency": 0}, (None, None)),
    ({"latency": 0.0, "completionTokens": None}, (None, None)),
    ({"latency": 2.0, "completionTokens": None}, (3.0, None)),
])
def test_rates_of_model_calls_without_time_or_tokens(fake_langfuse, fields, rates):
    fake_langfuse([obs(2, "vynStrOutputParser"), generation(1, output={"content": "sixsix"}, **fields)])
    (call,) = tracetools._profile("t")["result"]["generation"]["processes"]["ChatOpenAI"]
    assert (call["charactor/s"], call["token/s"]) == rates


def test_trace_without_output_parser_fails(fake_langfuse):
    fake_langfuse([generation(1)])
    with pytest.raises(ValueError, match="vynStrOutputParser"):
        tracetools._profile("t")


# ---- through the Langfuse stand-in ----------------------------------------------------------

def wire(o):
    """An observation of this file in the listing's JSON form."""
    stamp = lambda d: d and d.isoformat().replace("+00:00", "Z")  # noqa: E731
    return {"id": o.id, "type": o.type, "name": o.name, "startTime": stamp(o.start_time),
            "endTime": stamp(o.end_time), "latency": o.latency if o.end_time else None,
            "parentObservationId": o.parent_observation_id, "level": "DEFAULT",
            "model": o.model, "input": o.input, "output": o.output,
            "completionTokens": getattr(o, "completionTokens", 0)}


@pytest.fixture
def standin(servers):
    httpx.delete(f"{STANDIN}/api/admin").raise_for_status()
    return STANDIN


def test_sdk_reads_a_scripted_trace_from_the_standin(standin):
    running = trace(3)
    running[2] = obs(0, running=True)
    states = [[wire(o) for o in running], [wire(o) for o in trace(3)]]
    httpx.put(f"{standin}/api/admin/scripts/scripted", json={"states": states}).raise_for_status()
    got = tracetools._profile("scripted")
    calls = httpx.get(f"{standin}/api/admin/scripts/scripted").json()["calls"]
    assert [c.get("page") for c in calls] == [None, "1", "2"]
    assert [r["name"] for r in got["rows"]] == ["step", "ChatOpenAI", "vynStrOutputParser"]
    (call,) = got["result"]["generation"]["processes"]["ChatOpenAI"]
    assert (call["output_token"], call["model"], call["token/s"]) == (4, "gpt", 4.0)


def test_chain_run_is_recorded_and_reported(standin):
    from langchain_core.language_models.chat_models import BaseChatModel
    from langchain_core.messages import AIMessage
    from langchain_core.output_parsers import StrOutputParser
    from langchain_core.outputs import ChatGeneration, ChatResult
    from langchain_core.prompts import ChatPromptTemplate

    class ChatOpenAI(BaseChatModel):
        model_name: str = "gpt-4o-mini"

        @property
        def _llm_type(self) -> str:
            return "fake-openai"

        def _generate(self, messages, stop=None, run_manager=None, **kwargs):
            usage = {"input_tokens": 4, "output_tokens": 3, "total_tokens": 7}
            message = AIMessage(content="moss grows north", usage_metadata=usage)
            return ChatResult(generations=[ChatGeneration(message=message)])

    class vynStrOutputParser(StrOutputParser):  # noqa: N801 - the service's own name
        pass

    chain = ChatPromptTemplate.from_messages([("human", "{q}")]) | ChatOpenAI() | vynStrOutputParser()
    handler = tracetools.langfuse_handler
    assert chain.invoke({"q": "where?"}, config={"callbacks": [handler]}) == "moss grows north"
    handler.flush()
    trace_id = handler.get_trace_id()

    got = tracetools._profile(trace_id)
    assert [r["name"] for r in got["rows"]] == [
        "RunnableSequence", "ChatPromptTemplate", "ChatOpenAI", "vynStrOutputParser"]
    (call,) = got["result"]["generation"]["processes"]["ChatOpenAI"]
    assert (call["model"], call["output_token"], call["input"]) == ("gpt-4o-mini", 3, "where?")
    path = tracetools.langfuse_profiling(trace_id)
    try:
        page = open(path, encoding="utf-8").read()
        for title in ("Profile Summary", "Timeline Graph", "Flame Graph"):
            assert title in page
    finally:
        os.unlink(path)
