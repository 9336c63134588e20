"""Writes small SPHERE files with known samples, for the tests and the batch
benchmark. Plain PCM (16 or 32 bits, either byte order) and G.711 only: the
payload is laid out here, so the expected samples are known exactly."""

from __future__ import annotations

import struct
from typing import Iterable, Optional, Sequence

HEADER_SIZE = 1024


def header(fields: Iterable[str], size: int = HEADER_SIZE, magic: str = "NIST_1A",
           size_line: Optional[str] = None, end: str = "end_head") -> bytes:
    """A header block of ``size`` bytes: the magic, the size line, the field
    lines as given, the terminator and space padding."""
    lines = [magic, size_line if size_line is not None else f"   {size}", *fields]
    if end:
        lines.append(end)
    text = ("\n".join(lines) + "\n").encode("utf-8")
    if len(text) > size:
        raise ValueError(f"header text of {len(text)} bytes does not fit in {size}")
    return text + b" " * (size - len(text))


def fields(channels: int, rate: int, frames: int, n_bytes: int, coding: Optional[str] = "pcm",
           byte_format: Optional[str] = "01", extra: Sequence[str] = ()) -> list:
    lines = [f"sample_count -i {frames}", f"sample_rate -i {rate}",
             f"channel_count -i {channels}", f"sample_n_bytes -i {n_bytes}"]
    if coding is not None:
        lines.append(f"sample_coding -s{len(coding)} {coding}")
    if byte_format is not None:
        lines.append(f"sample_byte_format -s{len(byte_format)} {byte_format}")
    return lines + list(extra)


def pcm_bytes(samples: Sequence[int], bits: int = 16, big_endian: bool = False) -> bytes:
    code = {16: "h", 32: "i"}[bits]
    return struct.pack(("<>"[big_endian]) + code * len(samples), *samples)


def pcm_file(frames: Sequence[Sequence[int]], rate: int = 16000, bits: int = 16,
             byte_format: str = "01", extra: Sequence[str] = (), trailing: bytes = b"") -> bytes:
    """A plain PCM SPHERE file holding ``frames`` (one sequence of channel
    samples per frame)."""
    channels = len(frames[0]) if frames else 1
    flat = [s for frame in frames for s in frame]
    head = header(fields(channels, rate, len(frames), bits // 8, "pcm", byte_format, extra))
    return head + pcm_bytes(flat, bits, big_endian=(byte_format == "10")) + trailing


def g711_file(codes: bytes, channels: int = 1, rate: int = 8000, law: str = "ulaw") -> bytes:
    """A G.711 SPHERE file whose payload is ``codes`` (interleaved)."""
    head = header(fields(channels, rate, len(codes) // channels, 1, law, "1"))
    return head + codes


def ramp(count: int, channels: int = 1, step: int = 7) -> list:
    """Frames whose samples differ per channel and per frame, within 16 bits."""
    return [[((i * step + c * 1000) % 65536) - 32768 for c in range(channels)]
            for i in range(count)]
