from typing import Any

class BaseDebug:
    message: str
    status_code: int
    debug_code: str
    def __init__(self, message: str = "") -> None: ...
    def __call__(self, *args: Any, **kwargs: Any) -> None: ...

class BaseInfo:
    message: str
    status_code: int
    info_code: str
    def __init__(self, message: str = "") -> None: ...
    def __call__(self, *args: Any, **kwargs: Any) -> None: ...

class BaseWarning:
    message: str
    status_code: int
    warning_code: str
    def __init__(self, message: str = "") -> None: ...
    def __call__(self, *args: Any, **kwargs: Any) -> None: ...

class SqlNoResultInfo(BaseInfo):
    def __init__(self, message: str = "") -> None: ...

debugs: tuple[type[BaseDebug]]
infos: tuple[type[BaseInfo], type[SqlNoResultInfo]]
warnings: tuple[type[BaseWarning]]
__version__: str
