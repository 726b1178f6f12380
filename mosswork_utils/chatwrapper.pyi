# Type stub of the chatwrapper module: an OpenAI chat-completion interface on a LangChain chat
# model or chain.
from typing import Any, Dict, Optional

from langchain_core.runnables import Runnable, RunnableConfig
from typing_extensions import Self

from mosswork_utils._native import pybind11_type

# One coroutine type for the whole package, whichever module binds it first.
from mosswork_utils.connections import NativeCoroutine as NativeCoroutine

__version__: str

class NativeAsyncIterator(metaclass=pybind11_type):
    def __aiter__(self) -> Self: ...
    def __anext__(self) -> NativeCoroutine: ...
    def aclose(self) -> NativeCoroutine: ...

# The request is any object with the attributes messages, model and temperature.
def _transform(input_dict: Any) -> Dict[str, Any]: ...
def format_openai_chat_response(
    result: Any, model_name: str = "gpt-4", index: float = 0
) -> Dict[str, Any]: ...

class OpenAIStyleWrapper(Runnable[Dict[str, Any], Any]):
    model: Runnable[Any, Any]
    def __init__(self, model: Any) -> None: ...
    def invoke(self, input: Any, config: Optional[RunnableConfig] = None) -> None: ...  # type: ignore[override]
    def ainvoke(  # type: ignore[override]
        self, input: Any, config: Optional[RunnableConfig] = None, **kwargs: Any
    ) -> NativeCoroutine: ...
    def astream(  # type: ignore[override]
        self, input: Any, config: Optional[RunnableConfig] = None, **kwargs: Any
    ) -> NativeAsyncIterator: ...
