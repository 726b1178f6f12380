# Type stub of the tracetools module: Langfuse set-up, handler lookups and the trace report.
from typing import Any

__version__: str
langfuse_config: Any
# langfuse's CallbackHandler and Langfuse client, or None when tracing is not configured.
langfuse_handler: Any
langfuse: Any

def get_langfuse_handler(config: Any) -> Any: ...
def get_langfuse_trace(config: Any) -> Any: ...
def langfuse_profiling(trace_id: str) -> str: ...
