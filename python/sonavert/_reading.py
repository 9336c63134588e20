"""Reading samples: ``read``, ``blocks`` and ``SoundFile``, shaped like the
reading API of the common sound-file libraries.

Every sample is read and converted by the native layer: a plain PCM or G.711
file on disk is read only where the requested frames lie, a Shorten stream is
decoded only up to the last frame requested (a ``SoundFile`` goes on from
where its last read ended), and the samples go straight into the array that
is returned (or the caller's ``out``).
"""

from __future__ import annotations

import ctypes
import operator
from decimal import Decimal
from fractions import Fraction
from typing import Any, Iterator, List, Optional, Tuple, Union

from ._selection import channel_list, exact_seconds, frame_at
from ._errors import LibsndfileError, SoundFileRuntimeError
from ._source import Header, Source, core, open_for_reading

SEEK_SET, SEEK_CUR, SEEK_END = 0, 1, 2

# numpy dtype name -> little-endian type code of the samples the core writes.
_TYPE_CODES = {"float64": "<f8", "float32": "<f4", "int32": "<i4", "int16": "<i2"}

Seconds = Union[int, float, Decimal, Fraction]


def _numpy() -> Any:
    try:
        import numpy
    except ImportError:
        raise ImportError("sonavert.read needs numpy: pip install numpy") from None
    return numpy


def _dtype_name(dtype: Any) -> str:
    """The name of a supported dtype given as a string or numpy dtype: a
    TypeError for what is no dtype at all, a ValueError for another type."""
    name: str = _numpy().dtype(dtype).name
    if name not in _TYPE_CODES:
        raise ValueError(f"cannot read samples as {name}: the dtype must be float64, float32, "
                         "int32 or int16")
    return name


def _pick(channels: Any, count: int) -> Tuple[Optional[Tuple[int, ...]], bool]:
    """(channel indices or None for all, whether the channel axis is kept
    for one channel)."""
    picked, single = channel_list(channels, count)
    if picked is None:
        return None, count > 1
    return tuple(picked), not single


class SoundFile:
    """A SPHERE file opened for reading.

    ``file`` is a path, an integer file descriptor, a binary file object or a
    bytes-like object. ``channels`` selects channels (an index, or a sequence
    of indices in the order wanted); ``channels`` then counts those. The
    position moves by the frames read; ``seek`` moves it anywhere.
    """

    def __init__(self, file: Any, mode: str = "r", samplerate: Optional[int] = None,
                 channels: Any = None, subtype: Optional[str] = None, endian: Optional[str] = None,
                 format: Optional[str] = None, closefd: bool = True, *,
                 stream_limit: Optional[int] = None) -> None:
        self._source: Optional[Source] = None
        if mode not in ("r", "rb"):
            raise ValueError(f"sonavert only reads: mode must be 'r', not {mode!r}")
        given = [n for n, v in (("samplerate", samplerate), ("subtype", subtype),
                                ("endian", endian), ("format", format)) if v is not None]
        if given:
            raise TypeError("not allowed for a SPHERE file, whose header says it: " + ", ".join(given))
        source = open_for_reading(file, stream_limit, closefd)
        try:
            self._header: Header = source.header()
            file_channels, frames, rate, bits, shorten = core.audio(source.handle)
            self._pick, self._keep_axis = _pick(channels, file_channels)
        except BaseException:
            source.close()
            raise
        self._source = source
        self._name = source.name
        self._frames: int = frames
        self._rate: int = rate
        self._bits: int = bits
        self._shorten: bool = shorten
        self._file_channels: int = file_channels
        self._position = 0
        self._stream: Any = None  # a Shorten file's decoder, made at the first read

    # --- what the file is ---------------------------------------------------------

    name = property(lambda self: self._name)
    mode = property(lambda self: "r")
    samplerate = property(lambda self: self._rate)
    frames = property(lambda self: self._frames)
    format = property(lambda self: "NIST")
    format_info = property(lambda self: "NIST SPHERE")
    subtype = property(lambda self: self._header.subtype)
    endian = property(lambda self: "FILE")
    sections = property(lambda self: 1)
    closed = property(lambda self: self._source is None)

    @property
    def channels(self) -> int:
        return self._file_channels if self._pick is None else len(self._pick)

    @property
    def extra_info(self) -> str:
        return self._header.block.decode("utf-8", "replace")

    def __len__(self) -> int:
        return self._frames

    def __repr__(self) -> str:
        return (f"SoundFile({self._name!r}, mode='r', samplerate={self._rate}, "
                f"channels={self.channels}, format='NIST', subtype={self.subtype!r}, endian='FILE')")

    def __enter__(self) -> "SoundFile":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_source", None) is not None:
            self.close()

    def close(self) -> None:
        source, self._source = self._source, None
        self._stream = None
        if source is not None:
            source.close()

    def _open(self) -> Source:
        if self._source is None:
            raise SoundFileRuntimeError("I/O operation on closed file")
        return self._source

    # --- position -----------------------------------------------------------------

    def seekable(self) -> bool:
        return True

    def tell(self) -> int:
        self._open()
        return self._position

    def seek(self, frames: int, whence: int = SEEK_SET) -> int:
        """Moves to a frame: from the start, the current frame or the end."""
        self._open()
        step = operator.index(frames)
        if whence == SEEK_SET:
            target = step
        elif whence == SEEK_CUR:
            target = self._position + step
        elif whence == SEEK_END:
            target = self._frames + step
        else:
            raise ValueError(f"whence must be SEEK_SET, SEEK_CUR or SEEK_END, not {whence!r}")
        if not 0 <= target <= self._frames:
            raise LibsndfileError(f"cannot seek to frame {target}: the file has {self._frames} frames")
        self._position = target
        return target

    # --- reading ------------------------------------------------------------------

    def _check_frames(self, frames: Any, fill_value: Any) -> Any:
        remaining = self._frames - self._position
        if frames < 0 or (frames > remaining and fill_value is None):
            return remaining
        return frames

    def _shape(self, frames: int, always_2d: bool) -> Tuple[int, ...]:
        return (frames, self.channels) if always_2d or self._keep_axis else (frames,)

    def _core_read(self, count: int, name: str, out: Any) -> Any:
        """Frames [position, position + count) from the native layer: of a
        Shorten file through its decoder, which goes on from its last read
        (forward: decoding and discarding; backward: from the start)."""
        source = self._open()
        if not self._shorten:
            return core.read(source.handle, self._position, count, name, self._pick, out)
        if self._stream is None:
            self._stream = core.ShortenStream(source.handle)
        return self._stream.read(self._position, count, name, self._pick, out)

    def _read_new(self, frames: int, always_2d: bool, name: str) -> Any:
        """The next ``frames`` frames (at most those left) in a new array."""
        count = min(frames, self._frames - self._position)
        data = self._core_read(count, name, None)
        self._position += count
        array = _numpy().frombuffer(data, dtype=_TYPE_CODES[name])
        return array.reshape(self._shape(count, always_2d))

    def _read_into(self, out: Any, frames: Any) -> int:
        """Reads up to ``frames`` frames into the start of ``out``; returns
        how many were read."""
        np = _numpy()
        if not isinstance(out, np.ndarray):
            raise TypeError(f"out must be a numpy array, not {type(out).__name__}")
        if (out.ndim not in (1, 2) or (out.ndim == 1 and self.channels != 1)
                or (out.ndim == 2 and out.shape[1] != self.channels)):
            raise ValueError(f"out of shape {out.shape!r} does not hold frames of "
                             f"{self.channels} channel{'s' if self.channels != 1 else ''}")
        if not out.flags.c_contiguous:
            raise ValueError("out must be C-contiguous")
        name = _dtype_name(out.dtype)
        if out.dtype.str != _TYPE_CODES[name] and out.dtype.str[0] != "|":
            raise ValueError(f"out must hold samples in little-endian order, not {out.dtype.str!r}")
        if not out.flags.writeable:
            raise ValueError("out is read-only")
        count = max(0, min(operator.index(frames), len(out), self._frames - self._position))
        if count:
            # The array's memory stays exported (and so cannot move or go)
            # while the native layer writes into it without the lock.
            target = (ctypes.c_char * out.nbytes).from_buffer(out)
            self._core_read(count, name, (ctypes.addressof(target), out.nbytes))
            del target
        self._position += count
        return count

    def read(self, frames: int = -1, dtype: Any = "float64", always_2d: bool = False,
             fill_value: Optional[float] = None, out: Any = None) -> Any:
        """Reads frames from the current position: all that are left by
        default. With ``fill_value``, a read past the end is padded to
        ``frames``; without it, the result is cut. With ``out``, fills it and
        returns it (cut to the frames read when no ``fill_value`` is given)."""
        self._open()
        if out is None:
            # Counts are Python ints from here on: a numpy integer (unsigned
            # ones above all) would wrap in the arithmetic on positions.
            frames = operator.index(self._check_frames(frames, fill_value))
            shape = self._shape(frames, always_2d)
            name = _dtype_name(dtype)
            if frames <= self._frames - self._position:
                return self._read_new(frames, always_2d, name)
            out = _numpy().empty(shape, _TYPE_CODES[name])
        elif frames < 0 or frames > len(out):
            frames = len(out)
        at_end = self._position == self._frames
        done = self._read_into(out, frames)
        if at_end and fill_value is None:
            # As soundfile: a read into ``out`` that starts at the end of the
            # file zeroes the rows it was asked for (one that starts before
            # it leaves the rows it could not fill as they were).
            out[:frames] = 0
        if len(out) > done:
            if fill_value is None:
                out = out[:done]
            else:
                out[done:] = fill_value
        return out

    def blocks(self, blocksize: Optional[int] = None, overlap: int = 0, frames: int = -1,
               dtype: Any = "float64", always_2d: bool = False, fill_value: Optional[float] = None,
               out: Any = None) -> Iterator[Any]:
        """Yields blocks of ``blocksize`` frames (or ``len(out)``), each
        starting ``overlap`` frames before the end of the one before."""
        np = _numpy()
        self._open()
        frames = self._check_frames(frames, fill_value)
        if out is None:
            if blocksize is None:
                raise TypeError("blocks need a blocksize or an out array")
            # Without padding no block is longer than the frames to read. The
            # dtype is checked when a block is read, as the array is filled.
            rows = blocksize if fill_value is not None else min(operator.index(blocksize), frames)
            out = np.empty(self._shape(rows, always_2d), dtype)
            copy_out = True
        else:
            if blocksize is not None:
                raise TypeError("give blocksize or out, not both")
            copy_out = False
        blocksize = len(out)
        # A block must hold at least one new frame: otherwise no read would
        # move on and the blocks would never end.
        if frames > 0 and blocksize < 1:
            raise ValueError(f"blocksize must be at least 1, got {blocksize}")
        overlap = operator.index(overlap)
        if frames > blocksize and overlap >= blocksize:
            raise ValueError(f"overlap ({overlap}) must be smaller than blocksize ({blocksize})")
        return self._blocks(out, blocksize, overlap, frames, fill_value, copy_out)

    def _blocks(self, out: Any, blocksize: int, overlap: int, frames: int, fill_value: Any,
                copy_out: bool) -> Iterator[Any]:
        np = _numpy()
        kept = None
        while frames > 0:
            offset = 0 if kept is None else len(kept)
            if kept is not None:
                out[:offset] = kept
            want = min(blocksize - offset, frames)
            done = self._read_into(out[offset:], want)
            if done < blocksize - offset and fill_value is not None:
                out[offset + done:] = fill_value
            if overlap:
                kept = np.copy(out[-overlap:])
            # Without fill_value a block ends with the frames left (counted
            # with the overlap, even in the first block: soundfile's shape),
            # and a block of ``out`` keeps what it held past the frames read.
            rows = frames + overlap
            block = out[:rows] if rows < blocksize and fill_value is None else out
            yield np.copy(block) if copy_out else block
            frames -= want

    def _prepare(self, start: Any, stop: Any, frames: Any, offset: Any, duration: Any) -> Any:
        """The number of frames to read, with the position set to the first:
        from start/stop/frames in frames, or from offset/duration in seconds."""
        if offset is not None or duration is not None:
            if start != 0 or stop is not None or frames != -1:
                raise TypeError("offset and duration (seconds) cannot be combined with "
                                "start, stop or frames")
            begin = exact_seconds(0 if offset is None else offset, "offset")
            first = min(frame_at(begin, self._rate), self._frames)
            end = self._frames
            if duration is not None:
                end = min(frame_at(begin + exact_seconds(duration, "duration"), self._rate), end)
            self.seek(first)
            return end - first
        if frames >= 0 and stop is not None:
            raise TypeError("frames and stop cannot both be given")
        first, end, _ = slice(start, stop).indices(self._frames)
        end = max(end, first)
        if frames < 0:
            frames = end - first
        self.seek(first)
        return frames


def read(file: Any, frames: int = -1, start: int = 0, stop: Optional[int] = None,
         dtype: Any = "float64", always_2d: bool = False, fill_value: Optional[float] = None,
         out: Any = None, *, channels: Any = None, offset: Optional[Seconds] = None,
         duration: Optional[Seconds] = None, stream_limit: Optional[int] = None,
         closefd: bool = True) -> Tuple[Any, int]:
    """Reads a SPHERE file into ``(data, samplerate)``.

    ``start`` and ``stop`` are frame indices (negative ones count from the
    end); ``frames`` is a number of frames instead of ``stop``. ``offset`` and
    ``duration`` give the part in seconds instead: a time selects the first
    frame at or after it. ``dtype`` is float64 (the default), float32, int32
    or int16; floats are scaled to [-1, 1).
    """
    if (out is None and fill_value is None and offset is None and duration is None
            and channels is None and _plain_span(start, stop, frames) and dtype in _TYPE_CODES):
        # The usual call, in one step of the native layer: the same result.
        np = _numpy()
        with open_for_reading(file, stream_limit, closefd) as source:
            samples, count, rate, done = core.read_span(source.handle, start, stop, frames, dtype)
        array = np.frombuffer(samples, dtype=_TYPE_CODES[dtype])
        return array.reshape((done, count) if always_2d or count > 1 else (done,)), rate
    with SoundFile(file, channels=channels, closefd=closefd, stream_limit=stream_limit) as f:
        count = f._prepare(start, stop, frames, offset, duration)
        data = f.read(count, dtype, always_2d, fill_value, out)
        return data, f.samplerate


_SPAN = 1 << 62


def _plain_span(start: Any, stop: Any, frames: Any) -> bool:
    """Whether start, stop and frames are plain ints that read_span takes
    as read() would."""
    if type(start) is not int or type(frames) is not int or not -_SPAN < start < _SPAN:
        return False
    if not -_SPAN < frames < _SPAN:
        return False
    if stop is None:
        return True
    return type(stop) is int and -_SPAN < stop < _SPAN and frames < 0


def blocks(file: Any, blocksize: Optional[int] = None, overlap: int = 0, frames: int = -1,
           start: int = 0, stop: Optional[int] = None, dtype: Any = "float64",
           always_2d: bool = False, fill_value: Optional[float] = None, out: Any = None, *,
           channels: Any = None, offset: Optional[Seconds] = None,
           duration: Optional[Seconds] = None, stream_limit: Optional[int] = None,
           closefd: bool = True) -> Iterator[Any]:
    """Yields a SPHERE file in blocks of ``blocksize`` frames; the other
    arguments select as in ``read``."""
    with SoundFile(file, channels=channels, closefd=closefd, stream_limit=stream_limit) as f:
        count = f._prepare(start, stop, frames, offset, duration)
        yield from f.blocks(blocksize, overlap, count, dtype, always_2d, fill_value, out)


__all__: List[str] = ["SoundFile", "read", "blocks", "SEEK_SET", "SEEK_CUR", "SEEK_END"]
