"""The output formats and sample forms of the sph2pipe-style command, for
``convert`` and ``batch``: SPHERE, AU and AIFF files, and WAV or raw samples
in a chosen form, all made by the core's writers (``_core.write``); FLAC
through soundfile, an optional extra, from the core's 16-bit samples.

Forms: "stored" keeps samples as the file stores them (G.711 stays 8-bit,
32-bit PCM stays 32-bit), "pcm16" is 16-bit linear, "ulaw" and "alaw" are
G.711.
"""

from __future__ import annotations

import io
from typing import Any, List, Optional, Tuple

from ._source import Header, core

WRITER_FORMATS = ("sph", "au", "aif")
FORMS = ("stored", "pcm16", "ulaw", "alaw")
FLAC_EXTRA = 'FLAC output needs soundfile: pip install "sonavert[flac]"'


def check_form(form: Optional[str]) -> None:
    if form is not None and form not in FORMS:
        raise ValueError(f"form must be one of {', '.join(map(repr, FORMS))}, got {form!r}")


def by_writers(format: str, form: Optional[str]) -> bool:
    """True when the core's writers (or FLAC's path) make this output; WAV
    and raw without a form keep their own path (linear samples)."""
    return format in WRITER_FORMATS or format == "flac" or form is not None


def _one_channel(picked: Optional[List[int]], channels: int) -> Optional[int]:
    """The writers keep one channel or all of them."""
    if picked is None or picked == list(range(channels)):
        return None
    if len(picked) == 1:
        return picked[0]
    raise ValueError("this format or form keeps one channel or all of them, not "
                     f"{len(picked)} of {channels}")


def write(data: bytes, header: Header, format: str, form: Optional[str],
          picked: Optional[List[int]], span: Tuple[int, int]) -> bytes:
    """The output file of frames [first, end) = ``span`` of the channels
    ``picked`` (None: all) of the SPHERE file ``data``."""
    channel = _one_channel(picked, header.channels)
    first, end = span
    if format == "flac":
        return _flac(data, header, form, channel, first, end)
    out: bytes = core.write(data, format, form or "stored", channel, first, end - first)
    return out


def _flac(data: bytes, header: Header, form: Optional[str], channel: Optional[int],
          first: int, end: int) -> bytes:
    """FLAC of the 16-bit samples: lossless for 16-bit and G.711 files, and
    for 32-bit ones only when "pcm16" asks for their top 16 bits."""
    if form not in (None, "stored", "pcm16"):
        raise ValueError(f"FLAC holds linear samples: form {form!r} does not apply")
    if header.bits_per_sample == 32 and form != "pcm16":
        raise ValueError("FLAC keeps at most 24 bits a sample: give form 'pcm16' for the "
                         "top 16 bits of this 32-bit file")
    try:
        import numpy
        import soundfile  # type: ignore[import-untyped, import-not-found, unused-ignore]
    except ImportError:
        raise ImportError(FLAC_EXTRA) from None
    raw = core.write(data, "raw", "pcm16", channel, first, end - first)
    kept = header.channels if channel is None else 1
    samples: Any = numpy.frombuffer(raw, "<i2").reshape(-1, kept)
    out = io.BytesIO()
    soundfile.write(out, samples, header.samplerate, format="FLAC", subtype="PCM_16")
    return out.getvalue()
