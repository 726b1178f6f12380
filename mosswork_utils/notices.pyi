from typing import Any

from mosswork_utils._native import pybind11_type

class BaseDebug(metaclass=pybind11_type):
    message: str
    status_code: int
    debug_code: str
    def __init__(self, message: str = "") -> None: ...
    def __call__(self, *args: Any, **kwargs: Any) -> None: ...

class BaseInfo(metaclass=pybind11_type):
    message: str
    status_code: int
    info_code: str
    def __init__(self, message: str = "") -> None: ...
    def __call__(self, *args: Any, **kwargs: Any) -> None: ...

class BaseWarning(metaclass=pybind11_type):
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
