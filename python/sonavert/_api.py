"""The library API: ``info`` and ``convert``, and the frame and channel
selection that they, ``batch`` and the command line share.

Headers, typed fields, WAV headers and samples all come from the native
layer; this layer chooses what to read and where to write it.
"""

from __future__ import annotations

import numbers
from dataclasses import dataclass, field
from decimal import Decimal
from fractions import Fraction
from typing import TYPE_CHECKING, Any, Dict, ItemsView, Iterator, KeysView, List, Mapping, Optional, Tuple, Union, ValuesView

import sonavert_native as _native

from . import _formats
from ._output import FORMATS, output_format, source_identity, write_output
from ._source import Header, core, header_of, load_bytes, native_reads, open_source, wav_header

if TYPE_CHECKING:
    from ._source import FieldValue

DTYPES = ("int16", "int32", "float32", "float64")
_WAV_HEADER_SIZE = 44

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


class Fields(Mapping[str, "FieldValue"]):
    """Every field of a header, typed as its line declares (int, float or
    str). Read from the header block when first looked at, so that a header
    of many fields costs nothing until its fields are wanted."""

    def __init__(self, header: Header) -> None:
        self._header = header
        self._items: Optional[Dict[str, FieldValue]] = None

    def _all(self) -> Dict[str, FieldValue]:
        if self._items is None:
            self._items = self._header.fields()
        return self._items

    def __getitem__(self, name: str) -> FieldValue:
        return self._all()[name]

    def __iter__(self) -> Iterator[str]:
        return iter(self._all())

    def __len__(self) -> int:
        return len(self._all())

    def __repr__(self) -> str:
        return repr(self._all())

    def keys(self) -> KeysView[str]:
        return self._all().keys()

    def items(self) -> ItemsView[str, FieldValue]:
        return self._all().items()

    def values(self) -> ValuesView[FieldValue]:
        return self._all().values()

    def __eq__(self, other: object) -> bool:
        return self._all() == (other._all() if isinstance(other, Fields) else other)

    __hash__ = None  # type: ignore[assignment]


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
    fields: Mapping[str, FieldValue]  # every field, typed as declared
    subtype: Optional[str] = None  # "PCM_16", "PCM_32", "ULAW", "ALAW"; None as bits_per_sample
    format: str = "NIST"
    endian: str = "FILE"
    name: Any = field(default=None, compare=False)  # the file as given
    # sample_count counts the samples of every channel, as the original
    # Switchboard-1 release wrote it: frames is sample_count / channels
    counts_every_channel: bool = False

    def as_dict(self) -> Dict[str, Any]:
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
            "counts_every_channel": self.counts_every_channel,
        }


def _info(header: Header, name: Any) -> Info:
    return Info(
        channels=header.channels,
        samplerate=header.samplerate,
        frames=header.frames,
        duration=header.frames / header.samplerate,
        coding=header.coding,
        shorten=header.shorten,
        bits_per_sample=header.bits_per_sample,
        header_size=header.header_size,
        fields=Fields(header),
        subtype=header.subtype,
        name=name,
        counts_every_channel=header.counts_every_channel,
    )


def info(file: Any, *, stream_limit: Optional[int] = None) -> Info:
    """The header of a SPHERE file (a path, file descriptor, binary file
    object or bytes-like object). Of a file on disk only the header block is
    read. Raises ValueError with the decoder's message for a header it would
    refuse."""
    header, name = header_of(file, stream_limit)
    return _info(header, name)


# --- frame ranges and channels -------------------------------------------------------


def _seconds(value: Any, name: str) -> Fraction:
    # Imported here: the reading half is needed only when a time is given.
    from ._reading import exact_seconds

    return exact_seconds(value, name)


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
    from ._reading import frame_at

    return frame_at(_seconds(value, name), rate)


def frame_range(start: Position, stop: Position, rate: int, frames: int) -> Tuple[int, int]:
    """[first, end) frames of the file that a start/stop pair selects; ends
    past the last frame are clipped, so the range may be empty."""
    given_first = _position(start, rate, "start")
    given_end = _position(stop, rate, "stop")
    first = 0 if given_first is None else given_first
    end = frames if given_end is None else given_end
    if given_end is not None and first > end:
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
    if all(frames) and first is not None and end is not None and first > end:
        raise ValueError(f"start (frame {first}) is after stop (frame {end})")
    if not any(frames) and _seconds(start, "start") > _seconds(stop, "stop"):
        raise ValueError(f"start ({start} s) is after stop ({stop} s)")


def _index(value: Any) -> Optional[int]:
    """``value`` as a channel index, or None when it is no integer."""
    if isinstance(value, numbers.Integral) and not isinstance(value, bool):
        return int(value)
    return None


def channel_list(channels: Any, count: int) -> Tuple[Optional[List[int]], bool]:
    """(channel indices or None for all, whether a single int was given)."""
    if channels is None:
        return None, False
    one = _index(channels)
    if one is not None:
        picked, single = [one], True
    else:
        try:
            given = [_index(c) for c in channels]
        except TypeError:
            given = [None]
        picked = [c for c in given if c is not None]
        if len(picked) != len(given):
            raise TypeError("channels must be a channel index or a sequence of channel indices")
        if not picked:
            raise ValueError("channels must select at least one channel")
        single = False
    for channel in picked:
        if not 0 <= channel < count:
            raise ChannelError(channel, count)
    return picked, single


def output_size(header: Header, format: str, channels: Any = None, start: Position = None,
                stop: Position = None, form: Optional[str] = None) -> Optional[int]:
    """The size in bytes of what ``convert`` writes for this header, or None
    when the coding cannot be decoded or the size is not known in advance
    (the formats and forms of the core's writers)."""
    bits = header.bits_per_sample
    if bits is None or _formats.by_writers(format, form):
        return None
    picked, _ = channel_list(channels, header.channels)
    first, end = frame_range(start, stop, header.samplerate, header.frames)
    count = header.channels if picked is None else len(picked)
    length = (end - first) * count * bits // 8
    if format == "raw":
        return length
    return _WAV_HEADER_SIZE + length + (length & 1)


def convert(src: Any, dst: Any, format: Optional[str] = None, channels: Any = None,
            start: Position = None, stop: Position = None, form: Optional[str] = None) -> None:
    """Converts a SPHERE file to WAV, raw PCM, SPHERE, AU, AIFF or FLAC.

    ``src`` is a path, bytes or a binary file object; ``dst`` a path or a
    binary file object, never the source itself. A path naming a regular
    file (or nothing yet) is written through a temporary file and a rename;
    a character device, FIFO or socket is written directly. The
    format follows ``dst``'s extension (.wav; .raw or .pcm) unless given.
    ``channels``, ``start`` and ``stop`` select as in ``read``. Samples keep
    their width: 32-bit PCM stays 32-bit.

    ``form`` chooses how samples are stored: "stored" (as the file stores
    them: G.711 stays G.711), "pcm16", "ulaw" or "alaw"; without it, WAV
    and raw get linear PCM as above and the other formats samples as
    stored. These formats and forms keep one channel or all of them. FLAC
    (16-bit, lossless) needs the soundfile package (the "flac" extra).
    """
    fmt = output_format(dst, format)
    _formats.check_form(form)
    inputs = [i for i in (source_identity(src),) if i is not None]
    chunks: List[Any]
    if _formats.by_writers(fmt, form):
        data = load_bytes(src)
        header = header_of(data)[0]
        picked, _ = channel_list(channels, header.channels)
        span = frame_range(start, stop, header.samplerate, header.frames)
        chunks = [_formats.write(data, header, fmt, form, picked, span)]
    else:
        whole = channels is None and start is None and stop is None
        loaded = load_bytes(src) if whole else None
        if loaded is not None and native_reads(loaded):
            chunks = [_native.transcode(loaded) if fmt == "wav" else _native.decode_pcm(loaded)]
        else:
            with open_source(src if loaded is None else loaded, closefd=False) as source:
                count, frames, rate, bits, _ = core.audio(source.handle)
                picked, _ = channel_list(channels, count)
                first, end = frame_range(start, stop, rate, frames)
                samples = core.read(source.handle, first, end - first,
                                    "int16" if bits == 16 else "int32",
                                    None if picked is None else tuple(picked), None)
            chunks = [samples]
            if fmt == "wav":
                kept = count if picked is None else len(picked)
                # 16- and 32-bit samples: the length is even and needs no pad byte.
                chunks.insert(0, wav_header(kept, rate, bits, len(samples)))
    write_output(dst, chunks, inputs)


__all__ = ["ChannelError", "Info", "info", "convert", "FORMATS", "DTYPES"]
