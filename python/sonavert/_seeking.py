"""The process's cache of Shorten seek points (see ``seek_point_cache``)."""

from __future__ import annotations

import operator
from typing import NamedTuple, Optional

from ._source import core


class SeekPointCache(NamedTuple):
    limit: int  # bytes the cache may hold
    bytes: int  # bytes it holds now
    files: int  # files it holds points of


def seek_point_cache(limit: Optional[int] = None) -> SeekPointCache:
    """The state of the cache of Shorten seek points that ``read``,
    ``blocks`` and ``SoundFile`` share in this process, after setting its
    limit in bytes when ``limit`` is given (0 empties it and keeps it
    empty). Points let a read of a Shorten file start near its first frame
    instead of decoding from the file's start; they are kept per file
    (device, inode, size and modification time), the files least recently
    used going first. The limit starts at 64 MiB, or at the bytes that the
    environment variable SONAVERT_SEEK_POINT_CACHE gives."""
    if limit is not None:
        limit = operator.index(limit)
        if limit < 0:
            raise ValueError(f"limit must be a non-negative number of bytes, got {limit}")
    return SeekPointCache(*core.seek_point_cache(limit))
