"""What the command and the batch say about errors and files: one line each."""

from __future__ import annotations

import os

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Tuple


def shown(path: Any) -> str:
    """A file name as it may be printed: bytes that are not UTF-8 (kept by
    the file system, surrogate-escaped by Python) become \\xNN escapes."""
    text = os.fsdecode(path) if isinstance(path, (bytes, os.PathLike)) else str(path)
    if text.isascii():
        return text
    return os.fsencode(text).decode("utf-8", "backslashreplace")


def describe(error: BaseException, path: str) -> Tuple[str, str]:
    """(file, message) for an error met while working on ``path``."""
    if isinstance(error, OSError) and error.strerror:
        return os.fsdecode(error.filename) if error.filename is not None else path, error.strerror
    if isinstance(error, (ValueError, TypeError, OSError, ImportError)):
        return path, str(error)
    return path, f"{type(error).__name__}: {error}"


def default_jobs() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1
