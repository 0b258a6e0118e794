"""Small helpers shared by the recovery paths."""

from __future__ import annotations

_TRUE = {"1", "true", "yes", "on", "y", "t"}
_FALSE = {"0", "false", "no", "off", "n", "f"}


def strict_bool(value, flag: str = "value") -> bool:
    """A real boolean, or one of the usual true/false texts; anything else is an error.

    A typo in a flag that enables live recovery must not silently count as either answer.
    """
    if isinstance(value, bool):
        return value
    if isinstance(value, str):
        text = value.strip().lower()
        if text in _TRUE:
            return True
        if text in _FALSE:
            return False
    raise ValueError(f"{flag} must be true or false, got {value!r}")
