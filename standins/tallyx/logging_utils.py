"""Logging of the library: one logger, "tallyx", and its verbosity."""

from __future__ import annotations

import logging

_LEVELS = {
    "debug": logging.DEBUG,
    "info": logging.INFO,
    "warning": logging.WARNING,
    "error": logging.ERROR,
    "critical": logging.CRITICAL,
}

_logger = logging.getLogger("tallyx")


def get_logger() -> logging.Logger:
    """The library's logger."""
    return _logger


def set_verbosity(level: str) -> None:
    """Log records of ``level`` ("debug", "info", "warning", "error",
    "critical") and above; a name outside that list is a ValueError."""
    if not isinstance(level, str) or level.lower() not in _LEVELS:
        raise ValueError(f"Unknown verbosity {level!r}; expected one of {', '.join(_LEVELS)}")
    _logger.setLevel(_LEVELS[level.lower()])


def get_verbosity() -> str:
    """The name of the current level ("warning" when nothing was set)."""
    level = _logger.level or logging.WARNING
    for name, value in _LEVELS.items():
        if value == level:
            return name
    return logging.getLevelName(level).lower()
