# Type stub of the plugins module: the enabled plugin chains, synced into Redis at import.
from typing import Any

from mosswork_utils.connections import Redis

__version__: str
r: Redis
plugins_hname: str
# The data file as parsed.
plugins_chains_config_f: Any
# The enabled entries: type, typeNum, moduleName, name, description.
plugins_chains_config: list[dict[str, Any]]

def redis_update_plugins_chains() -> None: ...
