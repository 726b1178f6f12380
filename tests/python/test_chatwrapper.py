"""chatwrapper: the request transformer, the chat-completion formatter and OpenAIStyleWrapper
over a real langchain-core chat model that records what it receives."""

from __future__ import annotations

import asyncio
from contextlib import aclosing
from dataclasses import dataclass
from types import SimpleNamespace
from typing import Any, Dict, Optional

import pytest
from langchain_core.language_models import BaseChatModel
from langchain_core.messages import AIMessage, AIMessageChunk
from langchain_core.outputs import ChatGeneration, ChatGenerationChunk, ChatResult
from langchain_core.runnables import Runnable, RunnableGenerator, RunnableLambda, RunnableSequence

from mosswork_utils import chatwrapper
from mosswork_utils.chatwrapper import OpenAIStyleWrapper, _transform, format_openai_chat_response

MISSING = "missing 'messages' key in input"
CALLER_CONFIG = {"configurable": {"chat_assistant_llm": "caller", "temperature": 9}, "tags": ["t"]}


@dataclass
class Request:
    messages: Any = ("hi",)
    model: Any = "gpt-x"
    temperature: Any = 0.7


class RecordingChatModel(BaseChatModel):
    """Answers "re: <last message>" (streamed as `pieces`); records each call and each close."""

    pieces: list = ["Hel", "", "lo"]
    answer_metadata: Optional[dict] = None
    calls: list = []
    closed: list = []

    @property
    def _llm_type(self) -> str:
        return "recording"

    def _generate(self, messages, stop=None, run_manager=None, **kwargs):
        extra = {} if self.answer_metadata is None else {"response_metadata": self.answer_metadata}
        answer = AIMessage(content="re: " + messages[-1].content, id="msg-1", **extra)
        return ChatResult(generations=[ChatGeneration(message=answer)])

    async def _agenerate(self, messages, stop=None, run_manager=None, **kwargs):
        await asyncio.sleep(0)  # lets concurrent calls interleave
        return self._generate(messages)

    async def _astream(self, messages, stop=None, run_manager=None, **kwargs):
        for piece in self.pieces:
            yield ChatGenerationChunk(message=AIMessageChunk(content=piece))

    async def ainvoke(self, input, config=None, **kwargs):
        self.calls.append((input, config))
        return await super().ainvoke(input, config, **kwargs)

    async def astream(self, input, config=None, **kwargs):
        self.calls.append((input, config))
        try:
            async with aclosing(super().astream(input, config, **kwargs)) as stream:
                async for chunk in stream:
                    yield chunk
        finally:
            self.closed.append(input)


@pytest.fixture
def model() -> RecordingChatModel:
    return RecordingChatModel()


def sent_config(llm: str, temperature: Any) -> dict:
    return {"configurable": {"chat_assistant_llm": llm, "temperature": temperature}}


async def collect(stream) -> list:
    return [piece async for piece in stream]


class TestTransform:
    @pytest.mark.parametrize("model_name,temperature,llm,sent_temperature", [
        ("gpt-x", 0.7, "gpt-x", 0.7),
        ("gpt-x", 0, "gpt-x", 0),
        ("gpt-x", 0.0, "gpt-x", 0),
        ("gpt-x", None, "gpt-x", 0),
        ("gpt-x", False, "gpt-x", 0),
        ("", 1, "default_llm", 1),
        (None, 1, "default_llm", 1),
        (0, 1, "default_llm", 1),
    ])
    def test_configurable(self, model_name, temperature, llm, sent_temperature):
        messages = ["hi"]
        out = _transform(Request(messages, model_name, temperature))
        # repr pins the key order and the int 0 of an off temperature
        assert repr(out) == repr({"input": messages, "config": sent_config(llm, sent_temperature),
                                  "kwargs": {}})
        assert out["input"] is messages

    @pytest.mark.parametrize("request_, error, text", [
        (Request(messages=[]), ValueError, MISSING),
        (Request(messages=None), ValueError, MISSING),
        (Request(messages=""), ValueError, MISSING),
        (SimpleNamespace(messages=["hi"], model="m"), AttributeError, "temperature"),
        ({"messages": ["hi"], "model": "m", "temperature": 1}, AttributeError, "messages"),
    ], ids=["empty", "none", "empty-text", "no-temperature", "a-dict"])
    def test_refuses(self, request_, error, text):
        with pytest.raises(error, match=text):
            _transform(request_)


def message(**fields) -> SimpleNamespace:
    return SimpleNamespace(**{"id": "c1", "content": "answer", **fields})


class TestFormat:
    def test_full_response(self):
        result = AIMessage(content="answer", id="c1", response_metadata={
            "token_usage": {"prompt_tokens": 3, "completion_tokens": 4, "total_tokens": 7},
            "finish_reason": "length"})
        expected = {
            "id": "c1", "object": "chat.completion", "created": None, "model": "m",
            "choices": [{"index": 2, "message": {"role": "assistant", "content": "answer"},
                         "finish_reason": "length"}],
            "usage": {"prompt_tokens": 3, "completion_tokens": 4, "total_tokens": 7},
        }
        assert repr(format_openai_chat_response(result, "m", 2)) == repr(expected)

    @pytest.mark.parametrize("result, finish_reason, usage", [
        (message(), "stop", [0, 0, 0]),
        (AIMessage(content="answer", id="c1"), "stop", [0, 0, 0]),
        (message(response_metadata={"token_usage": {"prompt_tokens": 3, "completion_tokens": 4}}),
         "stop", [3, 4, 0]),
        (message(response_metadata={"finish_reason": None, "token_usage": {"prompt_tokens": None}}),
         None, [None, 0, 0]),
    ], ids=["no-metadata", "empty-metadata", "no-total", "nulls-kept"])
    def test_metadata(self, result, finish_reason, usage):
        out = format_openai_chat_response(result)
        assert (out["model"], out["choices"][0]["index"]) == ("gpt-4", 0)
        assert out["choices"][0]["finish_reason"] == finish_reason
        assert list(out["usage"].values()) == usage

    @pytest.mark.parametrize("index, expected", [(3, 3), (2.9, 2), (-1.5, -1), (True, 1)])
    def test_index_is_an_int(self, index, expected):
        out = format_openai_chat_response(message(id=None), index=index)["choices"][0]["index"]
        assert type(out) is int and out == expected

    @pytest.mark.parametrize("kwargs, error, text", [
        ({"model_name": None}, TypeError, "model_name must be str, not NoneType"),
        ({"model_name": 4}, TypeError, "model_name must be str, not int"),
        ({"index": None}, TypeError, "index must be an integer, not NoneType"),
        ({"index": "1"}, TypeError, "index must be an integer, not str"),
        ({"result": message(response_metadata=["x"])}, AttributeError, "get"),
        ({"result": SimpleNamespace(id="c1")}, AttributeError, "content"),
    ])
    def test_refuses(self, kwargs, error, text):
        with pytest.raises(error, match=text):
            format_openai_chat_response(**{"result": message(), **kwargs})


class TestRunnable:
    def test_is_a_runnable_over_a_request_map(self, model):
        wrapper = OpenAIStyleWrapper(model)
        assert isinstance(wrapper, Runnable) and wrapper.model is model
        assert (wrapper.InputType, wrapper.OutputType) == (Dict[str, Any], Any)
        assert OpenAIStyleWrapper.__module__ == chatwrapper.__name__

    def test_invoke_and_batch_return_none_without_the_model(self, model):
        wrapper = OpenAIStyleWrapper(model)
        assert wrapper.invoke(Request()) is None
        assert wrapper.invoke(Request(messages=[]), CALLER_CONFIG) is None
        assert wrapper.batch([Request(), Request(), Request()]) == [None, None, None]
        assert model.calls == []

    def test_steps_are_awaited_not_run_at_the_call(self, model):
        wrapper = OpenAIStyleWrapper(model)
        coroutine, stream = wrapper.ainvoke(Request(messages=[])), wrapper.astream(Request())
        assert asyncio.iscoroutine(coroutine) and hasattr(stream, "__anext__")
        coroutine.close()
        assert model.calls == []


class TestAinvoke:
    @pytest.mark.parametrize("model_name, temperature, llm, sent_temperature", [
        ("gpt-x", 0.7, "gpt-x", 0.7),
        ("", 0.0, "default_llm", 0),
    ])
    def test_answer_and_what_the_model_receives(self, model, model_name, temperature, llm,
                                                sent_temperature):
        model.answer_metadata = {"token_usage": {"prompt_tokens": 2, "completion_tokens": 5,
                                                 "total_tokens": 7}}
        request = Request(["hi"], model_name, temperature)
        out = asyncio.run(OpenAIStyleWrapper(model).ainvoke(request, CALLER_CONFIG, stop=["x"]))
        assert out["model"] == model_name and out["id"] == "msg-1" and out["created"] is None
        assert out["choices"] == [{"index": 0, "finish_reason": "stop",
                                   "message": {"role": "assistant", "content": "re: hi"}}]
        assert out["usage"] == {"prompt_tokens": 2, "completion_tokens": 5, "total_tokens": 7}
        (received,) = model.calls
        assert received[0] is request.messages
        assert repr(received[1]) == repr(sent_config(llm, sent_temperature))

    def test_null_model_name_fails_after_the_model_answered(self, model):
        with pytest.raises(TypeError, match="model_name must be str"):
            asyncio.run(OpenAIStyleWrapper(model).ainvoke(Request(model=None)))
        assert model.calls == [(Request().messages, sent_config("default_llm", 0.7))]

    def test_empty_messages_fail_before_the_model(self, model):
        with pytest.raises(ValueError, match=MISSING):
            asyncio.run(OpenAIStyleWrapper(model).ainvoke(Request(messages=[])))
        assert model.calls == []

    def test_model_errors_propagate(self):
        async def fail(_):
            raise LookupError("model down")

        with pytest.raises(LookupError, match="model down"):
            asyncio.run(OpenAIStyleWrapper(RunnableLambda(fail)).ainvoke(Request()))

    def test_cancelling_the_task_cancels_the_model_call(self):
        seen = []

        async def slow(_):
            try:
                await asyncio.sleep(60)
            except asyncio.CancelledError:
                seen.append("cancelled")
                raise

        async def main():
            task = asyncio.create_task(OpenAIStyleWrapper(RunnableLambda(slow)).ainvoke(Request()))
            await asyncio.sleep(0.01)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task

        asyncio.run(main())
        assert seen == ["cancelled"]

    def test_fifty_concurrent_calls_keep_their_own_answers(self, model):
        wrapper = OpenAIStyleWrapper(model)

        async def main():
            return await asyncio.gather(
                *(wrapper.ainvoke(Request([f"m{i}"], f"model-{i}")) for i in range(50)))

        outs = asyncio.run(main())
        assert [(o["model"], o["choices"][0]["message"]["content"]) for o in outs] == [
            (f"model-{i}", f"re: m{i}") for i in range(50)]
        assert sorted(c[1]["configurable"]["chat_assistant_llm"] for c in model.calls) == sorted(
            f"model-{i}" for i in range(50))

    def test_abatch_and_with_config(self, model):
        wrapper = OpenAIStyleWrapper(model)
        outs = asyncio.run(wrapper.abatch([Request(["a"]), Request(["b"])], CALLER_CONFIG))
        assert [o["choices"][0]["message"]["content"] for o in outs] == ["re: a", "re: b"]
        out = asyncio.run(wrapper.with_config(CALLER_CONFIG).ainvoke(Request(["c"])))
        assert out["choices"][0]["message"]["content"] == "re: c"
        assert [c[1] for c in model.calls] == [sent_config("gpt-x", 0.7)] * 3


class TestAstream:
    @pytest.mark.parametrize("request_", [Request(), Request(model=None)], ids=["named", "null"])
    def test_yields_the_contents(self, model, request_):
        pieces = asyncio.run(collect(OpenAIStyleWrapper(model).astream(request_, CALLER_CONFIG)))
        assert pieces == ["Hel", "", "lo"]
        llm = request_.model or "default_llm"
        assert model.calls == [(request_.messages, sent_config(llm, 0.7))]

    def test_chunks_without_content_are_yielded_as_text(self):
        async def chunks(_):
            for chunk in (1, {"a": 1}, "x", SimpleNamespace(content=None)):
                yield chunk

        stream = OpenAIStyleWrapper(RunnableGenerator(chunks)).astream(Request())
        assert asyncio.run(collect(stream)) == ["1", "{'a': 1}", "x", None]

    def test_empty_messages_fail_at_the_first_step(self, model):
        async def main():
            stream = OpenAIStyleWrapper(model).astream(Request(messages=[]))
            with pytest.raises(ValueError, match=MISSING):
                await stream.__anext__()
            with pytest.raises(StopAsyncIteration):
                await stream.__anext__()

        asyncio.run(main())
        assert model.calls == []

    def test_early_stop_closes_the_model_stream(self, model):
        async def main():
            async with aclosing(OpenAIStyleWrapper(model).astream(Request())) as stream:
                async for piece in stream:
                    break
            assert model.closed == [Request().messages]
            with pytest.raises(StopAsyncIteration):
                await stream.__anext__()
            return piece

        assert asyncio.run(main()) == "Hel"

    def test_aclose_before_the_first_step_opens_nothing(self, model):
        async def main():
            stream = OpenAIStyleWrapper(model).astream(Request())
            assert await stream.aclose() is None
            return await collect(stream)

        assert asyncio.run(main()) == [] and model.calls == []


async def content_of(out: dict) -> str:
    return out["choices"][0]["message"]["content"]


async def shout(pieces):
    async for piece in pieces:
        yield piece.upper()


class TestInsideSequences:
    def test_wrapper_first(self, model):
        wrapper = OpenAIStyleWrapper(model)
        chain = wrapper | RunnableLambda(content_of)
        assert isinstance(chain, RunnableSequence)
        assert asyncio.run(chain.ainvoke(Request(["q"]), CALLER_CONFIG)) == "re: q"
        streamed = wrapper | RunnableGenerator(shout)
        assert asyncio.run(collect(streamed.astream(Request(["q"])))) == ["HEL", "", "LO"]
        assert [c[1] for c in model.calls] == [sent_config("gpt-x", 0.7)] * 2

    def test_wrapper_last(self, model):
        async def ask(q):
            return Request([q], "asked", None)

        chain = RunnableLambda(ask) | OpenAIStyleWrapper(model)
        out = asyncio.run(chain.ainvoke("q", CALLER_CONFIG))
        assert (out["model"], out["choices"][0]["message"]["content"]) == ("asked", "re: q")
        assert asyncio.run(collect(chain.astream("q"))) == ["Hel", "", "lo"]
        assert [c[1] for c in model.calls] == [sent_config("asked", 0)] * 2
