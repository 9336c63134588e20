"""Read, inspect and convert NIST SPHERE audio files.

``info`` reads a header, ``read`` decodes into a numpy array, ``convert``
writes WAV or raw PCM and ``batch`` converts a whole tree, on local processes
or any ``concurrent.futures.Executor``. The decoding itself is done by the
package's native layer, ``sonavert._core``, and by ``sonavert_native``.
"""

from __future__ import annotations

from sonavert_native import __version__

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    from ._api import DTYPES, FORMATS, Info, convert, info
    from ._batch import BatchResult, batch
    from ._errors import LibsndfileError, SoundFileError, SoundFileRuntimeError
    from ._reading import SEEK_CUR, SEEK_END, SEEK_SET, SoundFile, blocks, read
    from ._selection import ChannelError
    from ._seeking import SeekPointCache, seek_point_cache
    from ._source import DEFAULT_STREAM_LIMIT
    from ._verify import VerifyReport, VerifyResult, verify, verify_paths

_HOME = {"info": "_api", "convert": "_api", "Info": "_api", "ChannelError": "_selection",
         "DTYPES": "_api", "FORMATS": "_api",
         "batch": "_batch", "BatchResult": "_batch",
         "read": "_reading", "blocks": "_reading", "SoundFile": "_reading",
         "SEEK_SET": "_reading", "SEEK_CUR": "_reading", "SEEK_END": "_reading",
         "DEFAULT_STREAM_LIMIT": "_source", "SoundFileError": "_errors",
         "SoundFileRuntimeError": "_errors", "LibsndfileError": "_errors",
         "verify": "_verify", "verify_paths": "_verify", "VerifyResult": "_verify",
         "VerifyReport": "_verify", "seek_point_cache": "_seeking", "SeekPointCache": "_seeking"}


def __getattr__(name: str) -> Any:
    # Each part loads when first asked for, so that the command's subcommands
    # import only what they need and start quickly.
    home = _HOME.get(name)
    if home is None:
        raise AttributeError(f"module 'sonavert' has no attribute {name!r}")
    from importlib import import_module

    value = getattr(import_module(f"{__name__}.{home}"), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(list(globals()) + list(_HOME))


__all__ = [
    "__version__",
    "info",
    "read",
    "blocks",
    "SoundFile",
    "convert",
    "batch",
    "Info",
    "BatchResult",
    "ChannelError",
    "SoundFileError",
    "SoundFileRuntimeError",
    "LibsndfileError",
    "DTYPES",
    "FORMATS",
    "SEEK_SET",
    "seek_point_cache",
    "SeekPointCache",
    "SEEK_CUR",
    "SEEK_END",
    "DEFAULT_STREAM_LIMIT",
    "verify",
    "verify_paths",
    "VerifyResult",
    "VerifyReport",
]
