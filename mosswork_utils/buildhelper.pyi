import os
from typing import Any, TypedDict

from setuptools import Distribution
from setuptools.command.build_ext import build_ext

_StrPath = str | os.PathLike[str]

class _StepResult(TypedDict):
    configs_files: int
    requirements_copied: bool

class MyBuildExt(build_ext):
    # build_lib and inplace are the base command's; root_dir defaults to the build script's folder.
    root_dir: _StrPath | None
    def __init__(self, dist: Distribution, **kw: Any) -> None: ...
    def run(self) -> _StepResult: ...  # type: ignore[override]
    def copy_file(  # type: ignore[override]
        self, path: _StrPath, source_dir: _StrPath, destination_dir: _StrPath
    ) -> bool: ...
    def deep_copy_file(self, path: _StrPath, src_dir: _StrPath, dst_dir: _StrPath) -> int: ...

def copy_file(path: _StrPath, source_dir: _StrPath, destination_dir: _StrPath) -> bool: ...
def deep_copy_file(path: _StrPath, src_dir: _StrPath, dst_dir: _StrPath) -> int: ...
def main(argv: list[str] | None = None) -> int: ...

setup_description: dict[str, Any]
__version__: str
