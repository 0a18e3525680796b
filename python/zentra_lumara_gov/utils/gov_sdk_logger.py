"""The SDK's logger.

Every module logs under the "zentra_lumara_gov" logger. As a library the SDK
adds only a NullHandler; the application decides where records go (for
example ``logging.basicConfig(level=logging.INFO)``).
"""

from __future__ import annotations

import logging

LOGGER_NAME = "zentra_lumara_gov"

logger = logging.getLogger(LOGGER_NAME)
logger.addHandler(logging.NullHandler())


def get_logger(name: str | None = None) -> logging.Logger:
    """The SDK logger, or its child ``zentra_lumara_gov.<name>``."""
    if not name:
        return logger
    if name == LOGGER_NAME or name.startswith(LOGGER_NAME + "."):
        return logging.getLogger(name)
    return logger.getChild(name)
