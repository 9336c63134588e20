"""Read, inspect and convert NIST SPHERE audio files.

``info`` reads a header, ``read`` decodes into a numpy array, ``convert``
writes WAV or raw PCM and ``batch`` converts a whole tree, on local processes
or any ``concurrent.futures.Executor``. The decoding itself is done by the
native module ``sonavert_native``.
"""

from sonavert_native import __version__

from ._api import DTYPES, FORMATS, ChannelError, Info, convert, info, read
from ._batch import BatchResult, batch

__all__ = [
    "__version__",
    "info",
    "read",
    "convert",
    "batch",
    "Info",
    "BatchResult",
    "ChannelError",
    "DTYPES",
    "FORMATS",
]
