"""The library API: ``info`` and ``convert``, and the frame and channel
selection that they, ``batch`` and the command line share.

Headers, typed fields, WAV headers and samples all come from the native
layer; this layer chooses what to read and where to write it.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Dict, ItemsView, Iterator, KeysView, List, Mapping, Optional, ValuesView

import sonavert_native as _native

from . import _formats
from ._output import FORMATS, output_format, source_identity, write_output
from ._selection import ChannelError, Position, channel_list, frame_range, validate_range
from ._source import Header, core, header_of, load_bytes, native_reads, open_for_reading, open_source, wav_header

if TYPE_CHECKING:
    from ._source import FieldValue

DTYPES = ("int16", "int32", "float32", "float64")
_WAV_HEADER_SIZE = 44

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


def info(file: Any, *, closefd: bool = True, stream_limit: Optional[int] = None) -> Info:
    """The header of a SPHERE file (a path, file descriptor, binary file
    object or bytes-like object). Of a file on disk only the header block is
    read; a file descriptor is closed afterwards unless ``closefd`` is
    false. Raises LibsndfileError (a ValueError) with the decoder's message
    for a header it would refuse."""
    with open_for_reading(file, stream_limit, closefd) as source:
        return _info(source.header(), source.name)


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
