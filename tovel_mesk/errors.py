"""Exceptions of the package."""

from __future__ import annotations

__all__ = ["InputError", "one_line"]


class InputError(ValueError):
    """An input file that cannot be used: missing, unreadable, malformed, or in an encoding
    that is not supported. The message names the file and, where it applies, the record."""


def one_line(error: BaseException) -> str:
    """An exception's message on one line; an OSError with its file name."""
    if isinstance(error, OSError) and error.filename is not None:
        text = f"{error.filename}: {error.strerror or error}"
    else:
        text = str(error) or type(error).__name__
    return " ".join(text.split())
