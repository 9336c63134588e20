"""Opening sources safely: files that cannot stall a reader, and streams
read with a cap.

A source named by path is opened without blocking (a FIFO put in its place
does not stall the opener) and used as a file only when it is a regular
file. A stream (standard input, a FIFO the command was given) is read with
a cap, after its first bytes show a SPHERE file, so that an endless stream
ends with an error rather than with the memory.
"""

from __future__ import annotations

import errno
import os
import select
import stat

TYPE_CHECKING = False  # typing is not imported at run time: the command starts faster
if TYPE_CHECKING:
    from typing import BinaryIO, Tuple

MAGIC = b"NIST_1A"
# The size line of a SPHERE header lies within this many bytes.
SIZE_LINE_WITHIN = 4096
# The longest size line taken for one ("   1024" is seven bytes).
_SIZE_LINE_MOST = 40

_KINDS = ((stat.S_ISFIFO, "a FIFO"), (stat.S_ISSOCK, "a socket"),
          (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"),
          (stat.S_ISDIR, "a folder"))


class StreamError(OSError):
    """A stream that is closed, failing or longer than its cap."""


def not_regular(mode: int) -> str:
    """Why a file of this mode is no source: "not a regular file (a FIFO)"."""
    kind = next((name for test, name in _KINDS if test(mode)), "not a file")
    return f"not a regular file ({kind})"


def open_fd(path: str) -> Tuple[int, os.stat_result]:
    """(descriptor, status) of ``path`` opened for reading without blocking;
    the descriptor is left non-blocking unless it is a regular file."""
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    try:
        st = os.fstat(fd)
        if stat.S_ISREG(st.st_mode):
            os.set_blocking(fd, True)
        return fd, st
    except BaseException:
        os.close(fd)
        raise


def open_source(path: str) -> Tuple[BinaryIO, os.stat_result]:
    """(binary file, its status) of the regular file at ``path``; anything
    else is refused before a byte is read."""
    fd, st = open_fd(path)
    if not stat.S_ISREG(st.st_mode):
        os.close(fd)
        raise OSError(errno.EINVAL, not_regular(st.st_mode), path)
    return open(fd, "rb"), st


def _read(fd: int, most: int) -> bytes:
    """Up to ``most`` bytes from ``fd`` (fewer only at its end), waiting
    whenever it would block."""
    parts = []
    left = most
    while left > 0:
        try:
            part = os.read(fd, min(left, 1 << 20))
        except BlockingIOError:
            select.select([fd], [], [])
            continue
        if not part:
            break
        parts.append(part)
        left -= len(part)
    return b"".join(parts)


def _declared_size(data: bytes) -> int:
    """The header size that the size line of ``data`` declares, 0 when
    there is none to read (the header reader then says what is wrong)."""
    lines = data.split(b"\n", 2)
    if len(lines) < 3 or len(lines[1]) > _SIZE_LINE_MOST:
        return 0
    text = lines[1].strip()
    return int(text) if text.isdigit() else 0


def read_stream(fd: int, name: str, limit: int, header_only: bool = False) -> bytes:
    """A SPHERE file from the stream ``fd``: its magic is checked first,
    then its header is read and, unless ``header_only``, the rest, up to
    ``limit`` bytes. Input that is no SPHERE file is returned as soon as
    that shows, for the reader to report; more than ``limit`` bytes is a
    StreamError, as is a closed stream."""
    try:
        os.fstat(fd)
        data = _read(fd, len(MAGIC))
        if data != MAGIC:
            return data
        data += _read(fd, SIZE_LINE_WITHIN - len(MAGIC))
        size = _declared_size(data)
        if size > limit:
            raise StreamError(errno.EFBIG, f"the header declares {size} bytes, more than the "
                              f"limit of {limit} bytes", name)
        if size > len(data):
            data += _read(fd, size - len(data))
        if header_only:
            return data
        data += _read(fd, limit + 1 - len(data))
    except StreamError:
        raise
    except OSError as e:
        message = "is closed" if e.errno == errno.EBADF else e.strerror or str(e)
        raise StreamError(e.errno, message, name) from None
    if len(data) > limit:
        raise StreamError(errno.EFBIG, f"holds more than the limit of {limit} bytes", name)
    return data
