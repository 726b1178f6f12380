"""Stand-in for the service logger: a standard logging.Logger of the package."""

import logging

logger = logging.getLogger("mosswork_utils")
