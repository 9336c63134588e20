"""Where a file's bytes come from, and what its header says.

Every source becomes one of two things the native layer reads: an open file
descriptor of a regular file (read with pread, only the parts needed) or a
``bytes`` object holding the whole file. Paths are opened non-blocking and
must name regular files; streams (pipes, standard input, non-seekable file
objects) are read into memory, with a cap, once their magic and header have
been checked.
"""

from __future__ import annotations

import errno
import importlib
import io
import os
import select
import stat

TYPE_CHECKING = False  # typing is not imported at run time: the command starts faster
if TYPE_CHECKING:
    from typing import Any, Callable, Dict, Optional, Tuple, Union

    Handle = Union[int, bytes]
    FieldValue = Union[int, float, str]

from ._errors import LibsndfileError, open_error

try:
    core: Any = importlib.import_module("sonavert._core")
except ImportError:  # a build tree on sys.path holds it as a top-level module
    core = importlib.import_module("_core")
# What the decoder reports comes as LibsndfileError(message, code), a ValueError.
core.set_error_type(LibsndfileError)

#: How many bytes a stream may hold at most, unless ``stream_limit`` says
#: otherwise: 2 GiB, beyond the longest recordings of the usual corpora and
#: far below what an endless pipe would fill memory with.
DEFAULT_STREAM_LIMIT = 2 << 30

# Streams are read this many bytes at a time.
_CHUNK = 1 << 20
# The first read of a stream's header.
_FIRST_READ = 4096


class Header:
    """A parsed and validated SPHERE header (a plain class rather than a
    dataclass: the command's start does without importing dataclasses)."""

    __slots__ = ("block", "header_size", "channels", "samplerate", "frames", "coding",
                 "bits_per_sample", "subtype", "shorten", "counts_every_channel")

    def __init__(self, block: bytes, header_size: int, channels: int, samplerate: int,
                 frames: int, coding: str, bits_per_sample: Optional[int],
                 subtype: Optional[str], shorten: bool, counts_every_channel: bool = False) -> None:
        self.block = block  # the header block itself
        self.header_size = header_size
        self.channels = channels
        self.samplerate = samplerate
        self.frames = frames  # samples per channel
        self.coding = coding  # sample_coding text, "pcm" when absent
        self.bits_per_sample = bits_per_sample  # decoded width; None: cannot be decoded
        self.subtype = subtype  # "PCM_16", "PCM_32", "ULAW", "ALAW"; None as above
        self.shorten = shorten  # the payload is a Shorten stream
        # sample_count is the total over every channel (the original
        # Switchboard-1 release); frames is that count / channels
        self.counts_every_channel = counts_every_channel

    def _key(self) -> Tuple[Any, ...]:
        return tuple(getattr(self, name) for name in self.__slots__)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Header) and self._key() == other._key()

    def __hash__(self) -> int:
        return hash(self._key())

    def __repr__(self) -> str:
        inner = ", ".join(f"{name}={getattr(self, name)!r}" for name in self.__slots__)
        return f"Header({inner})"

    def fields(self) -> Dict[str, FieldValue]:
        """Every field, typed as its line declares."""
        result: Dict[str, FieldValue] = core.fields(self.block)
        return result


def _header(block: bytes, parsed: Tuple[Any, ...]) -> Header:
    size = parsed[0]
    return Header(block[:size], *parsed)


def is_path(file: object) -> bool:
    return isinstance(file, (str, bytes, os.PathLike))


def _bytes_like(file: object) -> Optional[bytes]:
    """The bytes of an object with the buffer protocol, else None."""
    if isinstance(file, bytes):
        return file
    try:
        view = memoryview(file)  # type: ignore[arg-type]
    except TypeError:
        return None
    with view:
        return view.tobytes()


def _read_chunk(read: Callable[[int], Any], size: int) -> bytes:
    data = read(size)
    if data is None:
        raise BlockingIOError("the stream has no data to read now (it is non-blocking)")
    if isinstance(data, (bytes, bytearray)):
        return bytes(data)
    raise TypeError(f"the file object's read() returned {type(data).__name__}, not bytes: "
                    "open it in binary mode")


def read_stream(read: Callable[[int], Any], limit: int, header_only: bool = False) -> bytes:
    """Everything a stream holds: the header first, checked before the rest
    is read; then at most ``limit`` bytes in all. With ``header_only`` the
    stream is read no further than its header."""
    data = b""
    ended = False
    while not ended and core.header_bytes_needed(data) > len(data):
        want = max(core.header_bytes_needed(data) - len(data), _FIRST_READ)
        chunk = _read_chunk(read, min(want, _CHUNK))
        ended = not chunk
        data += chunk
        if len(data) > limit:
            _too_long(limit)
    # The header is checked before the payload is read: a stream that is no
    # SPHERE file fails here, after a few kilobytes.
    core.parse_header(data, len(data))
    if header_only:
        return data
    parts = [data]
    total = len(data)
    while not ended:
        chunk = _read_chunk(read, _CHUNK)
        ended = not chunk
        total += len(chunk)
        if total > limit:
            _too_long(limit)
        parts.append(chunk)
    return b"".join(parts)


class StreamTooLong(ValueError):
    """A stream that holds more than its limit."""

    def __init__(self, limit: int) -> None:
        self.limit = limit
        super().__init__(f"the stream holds more than {limit} bytes, the limit for streams "
                         "(raise it with stream_limit=)")


def _too_long(limit: int) -> None:
    raise StreamTooLong(limit)


def read_fd(fd: int, limit: int, header_only: bool = False) -> bytes:
    """read_stream of a descriptor, blocking or not: a read that would block
    waits until there is something to read."""
    def read(size: int) -> bytes:
        while True:
            try:
                return os.read(fd, size)
            except BlockingIOError:
                select.select([fd], [], [])

    return read_stream(read, limit, header_only)


_KINDS = ((stat.S_ISFIFO, "a FIFO"), (stat.S_ISSOCK, "a socket"),
          (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"),
          (stat.S_ISDIR, "a folder"))


def not_regular(mode: int) -> str:
    """Why a file of this mode is no source: "not a regular file (a FIFO)"."""
    kind = next((name for test, name in _KINDS if test(mode)), "not a file")
    return f"not a regular file ({kind})"


def open_fd(path: Union[str, bytes, "os.PathLike[Any]"]) -> Tuple[int, os.stat_result]:
    """(descriptor, status) of ``path`` opened for reading without blocking
    (a FIFO put in a file's place does not stall the opener); it stays
    non-blocking, which a regular file ignores."""
    flags = os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_NOCTTY", 0) | getattr(os, "O_CLOEXEC", 0)
    fd = os.open(path, flags)
    try:
        return fd, os.fstat(fd)
    except BaseException:
        os.close(fd)
        raise


def open_regular(path: Union[str, bytes, "os.PathLike[Any]"]) -> Tuple[int, os.stat_result]:
    """open_fd of a regular file: anything else is refused, with what it
    is, before a byte is read."""
    fd, st = open_fd(path)
    if not stat.S_ISREG(st.st_mode):
        os.close(fd)
        raise OSError(errno.EINVAL, not_regular(st.st_mode), path)
    return fd, st


class Source:
    """An opened file: ``handle`` is what the native layer reads."""

    def __init__(self, handle: Handle, name: Any, fd: Optional[int] = None,
                 closefd: bool = False) -> None:
        self.handle = handle
        self.name = name
        self._fd = fd
        self._closefd = closefd

    def header(self) -> Header:
        block, parsed = core.read_header(self.handle)
        return _header(block, parsed)

    def close(self) -> None:
        fd, self._fd = self._fd, None
        if fd is not None and self._closefd:
            os.close(fd)

    def __enter__(self) -> "Source":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def names_a_file(data: bytes) -> bool:
    """Whether a bytes object is a path rather than a file's contents: it
    does not start with the SPHERE magic, holds no NUL, is no longer than a
    path can be and names something that exists."""
    return (not data.startswith(b"NIST_1A") and b"\0" not in data and 0 < len(data) <= 4096
            and os.path.lexists(data))


def _open_path(path: Union[str, bytes, "os.PathLike[Any]"]) -> Source:
    fd, st = open_fd(path)
    try:
        mode = st.st_mode
        if stat.S_ISDIR(mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
        if not stat.S_ISREG(mode):
            raise OSError(errno.EINVAL, "not a regular file (read a stream through a file object)", path)
    except BaseException:
        os.close(fd)
        raise
    # A path-like object is named by its path, as str (or bytes) gives it.
    return Source(fd, os.fspath(path), fd, closefd=True)


def open_source(file: Any, stream_limit: Optional[int] = None, closefd: bool = True) -> Source:
    """Opens ``file``: a path (str, bytes, os.PathLike), an integer file
    descriptor, a binary file object or a bytes-like object."""
    limit = DEFAULT_STREAM_LIMIT if stream_limit is None else stream_limit
    if isinstance(limit, bool) or not isinstance(limit, int) or limit < 0:
        raise ValueError(f"stream_limit must be a non-negative int, got {limit!r}")
    if isinstance(file, bytes) and names_a_file(file):
        return _open_path(file)
    if is_path(file) and not isinstance(file, bytes):
        return _open_path(file)
    if isinstance(file, bool):
        raise TypeError("expected a path, a file descriptor, a file object or bytes, got bool")
    if isinstance(file, int):
        return _open_descriptor(file, limit, closefd)
    # The buffer protocol first: an mmap also has read(), which would move
    # its position and leave nothing for the next call.
    data = _bytes_like(file)
    if data is not None:
        return Source(data, None)
    if hasattr(file, "read"):
        return Source(_file_object(file, limit), file)
    raise TypeError("expected a path, a file descriptor, a binary file object or a bytes-like "
                    f"object, got {type(file).__name__}")


def open_for_reading(file: Any, stream_limit: Optional[int] = None, closefd: bool = True) -> Source:
    """open_source for the reading API: a file that cannot be opened raises
    its OSError as a class that is also a LibsndfileError."""
    try:
        return open_source(file, stream_limit, closefd)
    except OSError as e:
        raise open_error(e) from None


def _open_descriptor(fd: int, limit: int, closefd: bool) -> Source:
    """A descriptor of a regular file is read where needed, any other into
    memory. With ``closefd`` it is closed with the source; one read into
    memory, or one that cannot be opened, is closed at once."""
    try:
        if stat.S_ISREG(os.fstat(fd).st_mode):
            return Source(fd, fd, fd, closefd=closefd)
        data = read_stream(lambda n: os.read(fd, n), limit)
    except BaseException:
        if closefd:
            try:
                os.close(fd)
            except OSError:
                pass  # the error that brought us here says more
        raise
    if closefd:
        os.close(fd)
    return Source(data, fd)


def _file_object(file: Any, limit: int) -> bytes:
    if isinstance(file, io.TextIOBase):
        raise TypeError("the file object is in text mode: open it in binary mode")
    seekable = False
    try:
        seekable = bool(file.seekable())
    except (AttributeError, OSError, ValueError):
        pass
    if seekable:
        return _read_chunk(file.read, -1)
    return read_stream(file.read, limit)


def load_bytes(file: Any, stream_limit: Optional[int] = None) -> bytes:
    """The whole of ``file`` as bytes."""
    with open_source(file, stream_limit, closefd=False) as source:
        if isinstance(source.handle, bytes):
            return source.handle
        size = os.fstat(source.handle).st_size
        parts = []
        offset = 0
        while offset < size:
            chunk = os.pread(source.handle, min(size - offset, 1 << 30), offset)
            if not chunk:
                break
            parts.append(chunk)
            offset += len(chunk)
        return parts[0] if len(parts) == 1 else b"".join(parts)


def read_header(path: Any) -> Header:
    """The header of the SPHERE file at ``path``."""
    return header_of(path)[0]


def header_of(file: Any, stream_limit: Optional[int] = None) -> Tuple[Header, Any]:
    """(header, name) of ``file``; of a path, only the header block is read."""
    with open_source(file, stream_limit, closefd=False) as source:
        return source.header(), source.name


def native_reads(source: Handle) -> bool:
    """Whether sonavert_native reads the file (bytes or a descriptor) as the
    package does. A header that the package's reads refuse, or whose
    sample_count counts every channel, goes through the core's reads."""
    _, parsed = core.read_header(source)
    return parsed[5] is not None and not parsed[8]


def quoted(text: str) -> str:
    """``text`` in the quoted form that messages use."""
    result: str = core.quoted(text)
    return result


def wav_header(channels: int, samplerate: int, bits: int, length: int) -> bytes:
    """The 44-byte header of a WAV file holding ``length`` bytes of PCM."""
    result: bytes = core.wav_header(channels, samplerate, bits, length)
    return result
