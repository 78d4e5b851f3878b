"""Exceptions of the package."""

from __future__ import annotations

__all__ = ["InputError"]


class InputError(ValueError):
    """An input file that cannot be used: missing, unreadable, malformed, or in an encoding
    that is not supported. The message names the file and, where it applies, the record."""
