"""Cuts of SPHERE files as training-data loaders read them: float32 samples
shaped (channels, samples) for a start time and a duration, frames chosen
from the times exactly as ``sph2pipe -f wav -p -t START:END`` chooses them
when a loader builds that command (see ``cut_range``), and the shape of a
file from its header alone. Used by ``sonavert.lhotse``; needs no loader."""

from __future__ import annotations

import os
from pathlib import Path
from typing import Any, Optional, Tuple

MAGIC = b"NIST_1A\n"
# Names of SPHERE files by custom; any other file is one when it starts with
# the magic (NIST's .WAV files, for instance).
SUFFIXES = (".sph", ".wv1", ".wv2")


def _head(source: Any) -> bytes:
    """The first bytes of a path or a file object, its position kept."""
    if isinstance(source, (str, Path)):
        try:
            with open(source, "rb") as f:
                return f.read(len(MAGIC))
        except OSError:
            return b""
    try:
        view = memoryview(source)
    except TypeError:
        pass
    else:
        return bytes(view[:len(MAGIC)])
    if hasattr(source, "read") and hasattr(source, "seek") and hasattr(source, "tell"):
        at = source.tell()
        try:
            return bytes(source.read(len(MAGIC)))
        finally:
            source.seek(at)
    return b""


def is_sphere(source: Any) -> bool:
    """True for a path named as SPHERE files are or holding the SPHERE magic,
    and for a file object or bytes that start with the magic."""
    if isinstance(source, (str, Path)) and str(source).lower().endswith(SUFFIXES):
        return True
    return _head(source) == MAGIC


def _seconds(text: str) -> Optional[float]:
    """A time as the command reads it: digits with at most one decimal
    point; anything else (a sign, an exponent, inf) is refused."""
    digits = text.replace(".", "", 1)
    if not digits or not digits.isdigit() or not digits.isascii():
        return None
    return float(text)


def cut_range(offset: float, duration: Optional[float], rate: int, frames: int) -> Tuple[int, int]:
    """Frames [first, stop) of a cut from ``offset`` lasting ``duration``
    seconds (None: to the end). The times are written as a loader writes
    them into ``-t START:END`` (END being ``round(offset + duration, 5)``)
    and read back as the command reads them: each time x rate, truncated;
    an END of 0 or past the file is the file's end. Raises ValueError where
    the command fails: a time it cannot read, a START past the end, an END
    before START."""
    start_text = f"{offset}"
    end_text = "" if duration is None else f"{round(offset + duration, 5)}"
    first = stop = 0
    for text, is_start in ((start_text, True), (end_text, False)):
        if not text:
            continue
        value = _seconds(text)
        if value is None:
            raise ValueError(f"cannot read the time {text!r}: digits with at most one decimal point expected")
        frame = int(value * float(rate))
        if is_start:
            first = frame
        else:
            stop = frame
    if stop == 0 or stop > frames:
        stop = frames
    if first > frames:
        raise ValueError(f"the cut starts at frame {first}, after the end of the file ({frames} frames)")
    if stop < first:
        raise ValueError(f"the cut ends at frame {stop}, before it starts ({first})")
    return first, stop


def _source(source: Any) -> Any:
    return os.fspath(source) if isinstance(source, Path) else source


def read_cut(source: Any, offset: float = 0.0, duration: Optional[float] = None) -> Tuple[Any, int]:
    """The cut of a SPHERE file (path, file object or bytes) as float32
    samples shaped (channels, samples), each the 16-bit sample over 32768,
    and the sample rate."""
    import numpy as np

    from . import SoundFile

    with SoundFile(_source(source)) as f:
        first, stop = cut_range(offset, duration, f.samplerate, f.frames)
        f.seek(first)
        samples = f.read(stop - first, dtype="int16", always_2d=True)
        rate = f.samplerate
    out = np.empty((samples.shape[1], samples.shape[0]), dtype=np.float32)
    np.multiply(samples.T, np.float32(1 / 32768), out=out)
    return out, rate


def cut_info(source: Any) -> Tuple[int, int, int, float]:
    """(channels, frames, samplerate, duration in seconds) from the header
    alone, without decoding."""
    head = __import__("sonavert").info(_source(source))
    return head.channels, head.frames, head.samplerate, head.frames / head.samplerate
