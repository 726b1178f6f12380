"""Stand-in for the service's configuration package.

``get_configs(section)`` returns ``{section: mapping}`` read from the YAML file named by the
environment variable ``MOSSWORK_CONFIG``, or else from the ``service.yaml`` beside this file.
"""

from __future__ import annotations

import errno
import os
from pathlib import Path
from typing import Any

import yaml

__all__ = ["get_configs", "config_path", "ENV_VAR"]

ENV_VAR = "MOSSWORK_CONFIG"


def config_path() -> Path:
    """The file that get_configs reads now."""
    named = os.environ.get(ENV_VAR)
    if named:
        return Path(named)
    return Path(__file__).with_name("service.yaml")


def get_configs(section: str) -> dict[str, Any]:
    """Returns ``{section: mapping}``; the mapping is None when the file has no such section."""
    path = config_path()
    try:
        with open(path, encoding="utf-8") as f:
            data = yaml.safe_load(f)
    except FileNotFoundError:
        raise FileNotFoundError(errno.ENOENT, "configuration file not found", str(path)) from None
    except yaml.YAMLError as e:
        raise ValueError(f"malformed configuration file {path}: {e}") from None
    except UnicodeDecodeError as e:
        raise ValueError(f"configuration file {path} is not UTF-8 text: {e}") from None
    if data is None:
        data = {}
    if not isinstance(data, dict):
        raise ValueError(
            f"malformed configuration file {path}: the top level must be a mapping of sections, "
            f"not {type(data).__name__}"
        )
    return {section: data.get(section)}
