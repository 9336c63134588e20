"""The library API: ``info``, ``read`` and ``convert``.

The native module decodes; this layer reads files, picks frames and channels,
scales samples and writes WAV headers for cut-out parts.
"""

from __future__ import annotations

import math
import numbers
import os
import struct
from dataclasses import dataclass
from decimal import Decimal
from fractions import Fraction
from typing import Dict, List, Optional, Sequence, Tuple, Union

import sonavert_native as _native

from ._header import Header, parse_header, read_header
from ._output import FORMATS, output_format, source_identity, write_output

DTYPES = ("int16", "int32", "float32", "float64")
_WAV_HEADER_SIZE = 44
_U16_MAX = 0xFFFF
_U32_MAX = 0xFFFFFFFF

Position = Union[int, float, Decimal, Fraction, None]


class ChannelError(ValueError):
    """A selected channel that the file does not have (channels count from 0)."""

    def __init__(self, channel: int, channels: int):
        self.channel = channel
        self.channels = channels
        super().__init__(self.text(0))

    def text(self, base: int) -> str:
        """The message with channels numbered from ``base`` (0 or 1)."""
        plural = "s" if self.channels != 1 else ""
        hint = " (numbered from 0)" if base == 0 else ""
        return (f"channel {self.channel + base} out of range: "
                f"the file has {self.channels} channel{plural}{hint}")


@dataclass(frozen=True)
class Info:
    """What the header of a SPHERE file says."""

    channels: int
    samplerate: int
    frames: int  # samples per channel
    duration: float  # seconds
    coding: str  # the sample_coding text ("pcm" when absent)
    shorten: bool  # payload is Shorten-compressed
    bits_per_sample: Optional[int]  # of the decoded PCM; None: coding not supported
    header_size: int
    fields: Dict[str, Union[int, float, str]]  # every field, typed as declared

    def as_dict(self) -> dict:
        return {
            "channels": self.channels,
            "samplerate": self.samplerate,
            "frames": self.frames,
            "duration": self.duration,
            "coding": self.coding,
            "shorten": self.shorten,
            "bits_per_sample": self.bits_per_sample,
            "header_size": self.header_size,
            "fields": dict(self.fields),
        }


def _info(header: Header) -> Info:
    return Info(
        channels=header.channels,
        samplerate=header.samplerate,
        frames=header.frames,
        duration=header.frames / header.samplerate,
        coding=header.coding,
        shorten=header.shorten,
        bits_per_sample=header.bits_per_sample,
        header_size=header.header_size,
        fields=header.typed_fields(),
    )


def _is_path(source) -> bool:
    return isinstance(source, (str, os.PathLike))


def _load(source) -> bytes:
    """The whole file given as a path, bytes-like object or binary file object."""
    if isinstance(source, bytes):
        return source
    if isinstance(source, (bytearray, memoryview)):
        return bytes(source)
    if _is_path(source):
        with open(source, "rb") as stream:
            return stream.read()
    if hasattr(source, "read"):
        data = source.read()
        if not isinstance(data, bytes):
            raise TypeError("the file object must be opened in binary mode")
        return data
    raise TypeError(f"expected a path, bytes or a binary file object, got {type(source).__name__}")


def info(source) -> Info:
    """The header of a SPHERE file (a path, bytes or a binary file object).

    Reads only the header of a file given by path. Raises ValueError with the
    same message as the native decoder for a header it would refuse.
    """
    if _is_path(source):
        return _info(read_header(source))
    return _info(parse_header(_load(source)))


def _decode(data: bytes) -> Tuple[bytes, Header, int]:
    """(PCM, header, bits per sample) of a whole SPHERE file."""
    pcm = _native.decode_pcm(data)  # its ValueError names what is wrong
    header = parse_header(data)
    bits = header.bits_per_sample
    if bits is None or len(pcm) % (header.channels * bits // 8):
        raise RuntimeError("the header reader and the native decoder disagree on this file")
    return pcm, header, bits


# --- frame ranges and channels -------------------------------------------------------


def _seconds(value, name: str) -> Fraction:
    """A time in seconds as an exact fraction; a float counts as the decimal
    number that it prints as (0.9 is nine tenths, not the binary double)."""
    if isinstance(value, Decimal):
        if not value.is_finite():
            raise ValueError(f"{name} must be a finite time, got {value}")
        exact = Fraction(value)
    elif isinstance(value, Fraction):
        exact = value
    else:
        number = float(value)
        if not math.isfinite(number):
            raise ValueError(f"{name} must be a finite time, got {number}")
        exact = Fraction(repr(number))
    if exact < 0:
        raise ValueError(f"{name} must not be negative, got {value}")
    return exact


def _position(value: Position, rate: int, name: str) -> Optional[int]:
    """A frame index from a frame index (int) or a time in seconds (float,
    Decimal, Fraction): the first frame at or after that time."""
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (numbers.Real, Decimal)):
        raise TypeError(
            f"{name} must be a frame index (int) or a time in seconds (float), "
            f"got {type(value).__name__}"
        )
    if isinstance(value, numbers.Integral):
        frame = int(value)
        if frame < 0:
            raise ValueError(f"{name} must not be negative, got {frame}")
        return frame
    return math.ceil(_seconds(value, name) * rate)


def frame_range(start: Position, stop: Position, rate: int, frames: int) -> Tuple[int, int]:
    """[first, end) frames of the file that a start/stop pair selects; ends
    past the last frame are clipped, so the range may be empty."""
    first = _position(start, rate, "start")
    end = _position(stop, rate, "stop")
    first = 0 if first is None else first
    if end is None:
        end = frames
    elif first > end:
        raise ValueError(f"start (frame {first}) is after stop (frame {end})")
    return min(first, frames), min(end, frames)


def validate_range(start: Position, stop: Position) -> None:
    """Checks a start/stop pair before any file is read: their types, their
    signs and, when both are frames or both are times, their order."""
    first = _position(start, 1, "start")
    end = _position(stop, 1, "stop")
    if start is None or stop is None:
        return
    frames = [isinstance(v, numbers.Integral) for v in (start, stop)]
    if all(frames) and first > end:
        raise ValueError(f"start (frame {first}) is after stop (frame {end})")
    if not any(frames) and _seconds(start, "start") > _seconds(stop, "stop"):
        raise ValueError(f"start ({start} s) is after stop ({stop} s)")


def _index(value) -> Optional[int]:
    """``value`` as a channel index, or None when it is no integer."""
    if isinstance(value, numbers.Integral) and not isinstance(value, bool):
        return int(value)
    return None


def channel_list(channels, count: int) -> Tuple[Optional[List[int]], bool]:
    """(channel indices or None for all, whether a single int was given)."""
    if channels is None:
        return None, False
    if _index(channels) is not None:
        picked, single = [_index(channels)], True
    else:
        try:
            picked = [_index(c) for c in channels]
        except TypeError:
            picked = [None]
        if None in picked:
            raise TypeError("channels must be a channel index or a sequence of channel indices")
        if not picked:
            raise ValueError("channels must select at least one channel")
        single = False
    for channel in picked:
        if not 0 <= channel < count:
            raise ChannelError(channel, count)
    return picked, single


def _select(pcm: bytes, width: int, count: int, picked: Optional[Sequence[int]],
            first: int, end: int) -> memoryview:
    """Frames [first, end) of interleaved PCM, keeping the channels ``picked``
    in the given order (all when None)."""
    frame = width * count
    part = memoryview(pcm)[first * frame:end * frame]
    if picked is None or list(picked) == list(range(count)):
        return part
    code = "h" if width == 2 else "i"
    source = part.cast(code)
    out = bytearray((end - first) * width * len(picked))
    target = memoryview(out).cast(code)
    for k, channel in enumerate(picked):
        target[k::len(picked)] = source[channel::count]
    return memoryview(out)


# --- reading into arrays -------------------------------------------------------------


def _scaled(block, bits: int, dtype: str):
    """Samples of ``bits`` bits in ``dtype``: integers keep their place in
    the full scale (shifted), floats are scaled to [-1, 1)."""
    import numpy as np

    if dtype == "int16":
        return block.astype(np.int16) if bits == 16 else (block >> 16).astype(np.int16)
    if dtype == "int32":
        return block.astype(np.int32) << 16 if bits == 16 else block.astype(np.int32)
    scale = float(1 << (bits - 1))
    if dtype == "float64":
        return block.astype(np.float64) / scale
    if bits == 16:
        return block.astype(np.float32) / np.float32(scale)  # exact
    # float32 holds only 24 bits: the largest 32-bit samples would round up to
    # 1.0, so they end at the largest float32 below 1.
    out = (block.astype(np.float64) / scale).astype(np.float32)
    return np.minimum(out, np.nextafter(np.float32(1), np.float32(0)))


def read(source, dtype: str = "int16", channels=None, start: Position = None,
         stop: Position = None, always_2d: bool = False):
    """Decodes a SPHERE file into ``(data, samplerate)``.

    ``data`` is a numpy array of frames x channels, or 1-D when the result
    has one channel (a mono file, or ``channels`` given as one index) and
    ``always_2d`` is false. ``dtype`` is "int16", "int32", "float32" or
    "float64"; floats are scaled to [-1, 1). ``channels`` is an index or a
    sequence of indices, counted from 0. ``start`` and ``stop`` select frames
    [start, stop): an int is a frame index, a float a time in seconds.
    """
    if dtype not in DTYPES:
        raise ValueError(f"dtype must be one of {', '.join(DTYPES)}, got {dtype!r}")
    try:
        import numpy as np
    except ImportError:
        raise ImportError("sonavert.read needs numpy: pip install numpy") from None
    pcm, header, bits = _decode(_load(source))
    count = header.channels
    picked, single = channel_list(channels, count)
    frames = len(pcm) // (count * bits // 8)
    first, end = frame_range(start, stop, header.samplerate, frames)
    samples = np.frombuffer(pcm, dtype="<i2" if bits == 16 else "<i4").reshape(frames, count)
    block = samples[first:end] if picked is None else samples[first:end, picked]
    data = _scaled(block, bits, dtype)
    if not always_2d and (single or (picked is None and count == 1)):
        data = data[:, 0]
    return np.ascontiguousarray(data), header.samplerate


# --- converting ----------------------------------------------------------------------


def wav_header(channels: int, samplerate: int, bits: int, length: int) -> bytes:
    """The 44-byte header of a PCM WAV file holding ``length`` bytes of samples."""
    if channels > _U16_MAX:
        raise ValueError("channel_count too large for WAV")
    if samplerate > _U32_MAX:
        raise ValueError("sample_rate too large for WAV")
    block_align = channels * (bits // 8)
    byte_rate = samplerate * block_align
    if byte_rate > _U32_MAX:
        raise ValueError("WAV byte_rate exceeds 32-bit field")
    padded = length + (length & 1)
    if padded + 36 > _U32_MAX:
        raise ValueError(f"output exceeds the 4 GB RIFF/WAV size limit ({length} bytes of PCM)")
    if block_align > _U16_MAX:  # checked last, as the native writer does
        raise ValueError("WAV block_align exceeds 16-bit field")
    return struct.pack("<4sI4s4sIHHIIHH4sI", b"RIFF", padded + 36, b"WAVE", b"fmt ", 16, 1,
                       channels, samplerate, byte_rate, block_align, bits, b"data", length)


def output_size(header: Header, format: str, channels=None, start: Position = None,
                stop: Position = None) -> Optional[int]:
    """The size in bytes of what ``convert`` writes for this header, or None
    when the coding cannot be decoded."""
    bits = header.bits_per_sample
    if bits is None:
        return None
    picked, _ = channel_list(channels, header.channels)
    first, end = frame_range(start, stop, header.samplerate, header.frames)
    count = header.channels if picked is None else len(picked)
    length = (end - first) * count * bits // 8
    if format == "raw":
        return length
    return _WAV_HEADER_SIZE + length + (length & 1)


def convert(src, dst, format: Optional[str] = None, channels=None, start: Position = None,
            stop: Position = None) -> None:
    """Converts a SPHERE file to WAV or raw PCM.

    ``src`` is a path, bytes or a binary file object; ``dst`` a path or a
    binary file object, never the source itself. A path naming a regular
    file (or nothing yet) is written through a temporary file and a rename;
    a character device, FIFO or socket is written directly. The
    format follows ``dst``'s extension (.wav; .raw or .pcm) unless given.
    ``channels``, ``start`` and ``stop`` select as in ``read``. Samples keep
    their width: 32-bit PCM stays 32-bit.
    """
    fmt = output_format(dst, format)
    inputs = [i for i in (source_identity(src),) if i is not None]
    data = _load(src)
    if channels is None and start is None and stop is None:
        chunks = [_native.transcode(data) if fmt == "wav" else _native.decode_pcm(data)]
    else:
        pcm, header, bits = _decode(data)
        picked, _ = channel_list(channels, header.channels)
        frames = len(pcm) // (header.channels * bits // 8)
        first, end = frame_range(start, stop, header.samplerate, frames)
        samples = _select(pcm, bits // 8, header.channels, picked, first, end)
        chunks = [samples]
        if fmt == "wav":
            count = header.channels if picked is None else len(picked)
            # 16- and 32-bit samples: the length is even and needs no pad byte.
            chunks.insert(0, wav_header(count, header.samplerate, bits, len(samples)))
    write_output(dst, chunks, inputs)


__all__ = ["ChannelError", "Info", "info", "read", "convert", "FORMATS", "DTYPES"]
