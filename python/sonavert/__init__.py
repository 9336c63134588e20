"""Read, inspect and convert NIST SPHERE audio files.

``info`` reads a header, ``read`` decodes into a numpy array, ``convert``
writes WAV or raw PCM and ``batch`` converts a whole tree, on local processes
or any ``concurrent.futures.Executor``. The decoding itself is done by the
package's native layer, ``sonavert._core``, and by ``sonavert_native``.
"""

from sonavert_native import __version__

from ._api import DTYPES, FORMATS, ChannelError, Info, convert, info
from ._batch import BatchResult, batch
from ._reading import SEEK_CUR, SEEK_END, SEEK_SET, SoundFile, blocks, read
from ._source import DEFAULT_STREAM_LIMIT

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
    "DTYPES",
    "FORMATS",
    "SEEK_SET",
    "SEEK_CUR",
    "SEEK_END",
    "DEFAULT_STREAM_LIMIT",
]
