import os
from typing import Any, TypedDict

StrPath = str | os.PathLike[str]

class _StepResult(TypedDict):
    configs_files: int
    requirements_copied: bool

class MyBuildExt:
    build_lib: str | None
    inplace: bool
    root_dir: str
    def __init__(
        self, build_lib: StrPath | None = None, inplace: bool = False, root_dir: StrPath | None = None
    ) -> None: ...
    def run(self) -> _StepResult: ...
    @staticmethod
    def copy_file(path: StrPath, source_dir: StrPath, destination_dir: StrPath) -> bool: ...
    @staticmethod
    def deep_copy_file(path: StrPath, src_dir: StrPath, dst_dir: StrPath) -> int: ...

def copy_file(path: StrPath, source_dir: StrPath, destination_dir: StrPath) -> bool: ...
def deep_copy_file(path: StrPath, src_dir: StrPath, dst_dir: StrPath) -> int: ...
def main(argv: list[str] | None = None) -> int: ...

setup_description: dict[str, Any]
__version__: str
